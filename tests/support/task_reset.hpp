#pragma once
#include "vaz/tasksystem/taskmain.hpp"

// Kills every live task of every type of a scheduler, so each test starts from
// empty pools whatever the previous test left running.
namespace test_support {

template <class T, class Scheduler>
void kill_all_of(Scheduler& s) {
    while (s.template begin<T>() != s.template end<T>()) s.template kill<T>(s.template begin<T>());
}

template <class... Entries>
void kill_all(vaz::tasksystem::taskmain<vaz::tasksystem::sst::line<Entries...>>& s) {
    (kill_all_of<typename Entries::type>(s), ...);
}

template <class T, class Scheduler>
int live_count(Scheduler& s) {
    int n = 0;
    for (auto* p = s.template begin<T>(); p != s.template end<T>(); p = p->next) ++n;
    return n;
}

}  // namespace test_support
