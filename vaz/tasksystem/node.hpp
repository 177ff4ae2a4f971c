#pragma once
#include <cstdint>

namespace vaz::tasksystem {

struct node;

// A task body receives the address of the walk's cursor; *cursor is the task's
// own node. A body that ends its own task moves *cursor to its node's prev
// before killing it, so the walk continues with the node that followed.
using body_fn = void (*)(node** cursor);

struct node {
    node* next;          // run-list successor while live, free-list successor while free
    node* prev;          // run-list predecessor
    void* object;        // the node's own object, fixed for the node's life
    body_fn body;        // the per-frame function
    std::int32_t kind;   // 0 live task, 1 type head, 2 type tail
};

enum node_kind : std::int32_t { live_task = 0, type_head = 1, type_tail = 2 };

// The body of every type head and tail, and of task types that only exist to be seen.
void idle(node** cursor);

}  // namespace vaz::tasksystem
