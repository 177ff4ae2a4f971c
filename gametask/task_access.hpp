#pragma once
#include "gametask/schedulers.hpp"

// Small helpers over update_tasks for the update bodies.
namespace gametask {

// Ends the task the walk stands on; the walk goes on with the node that followed it.
template <class T>
void end_own_task(vaz::tasksystem::node** cursor) {
    vaz::tasksystem::node* self = *cursor;
    *cursor = self->prev;
    update_tasks.kill<T>(self);
}

template <class T>
bool any_live() {
    return update_tasks.begin<T>() != update_tasks.end<T>();
}

// The newest live task of T, or null.
template <class T>
T* first_live() {
    return any_live<T>() ? &vaz::tasksystem::object_of<T>(update_tasks.begin<T>()) : nullptr;
}

template <class T>
void kill_first_live() {
    if (any_live<T>()) update_tasks.kill<T>(update_tasks.begin<T>());
}

}  // namespace gametask
