#pragma once
#include <cstddef>
#include <new>
#include <type_traits>

#include "vaz/tasksystem/node.hpp"

namespace vaz::tasksystem {

namespace sst {

// One pool declaration: task type T with capacity N.
template <class T, int N>
struct task {
    static_assert(N > 0, "a pool holds at least one task");
    using type = T;
    static constexpr int capacity = N;
};

// The ordered type list of a scheduler: position is index and run order.
template <class... Entries>
struct line {
    static_assert(sizeof...(Entries) >= 1 && sizeof...(Entries) <= 128,
                  "a line holds 1 to 128 task types");
    static constexpr int count = static_cast<int>(sizeof...(Entries));

    // T's position in the line, known at compile time; -1 when T is not in it.
    template <class T>
    static constexpr int position() {
        int i = 0, found = -1;
        ((found = (found < 0 && std::is_same_v<T, typename Entries::type>) ? i : found, ++i), ...);
        return found;
    }
};

}  // namespace sst

// One scheduler: a fixed pool per task type and one run list through all of
// them. Nothing is allocated after construction; spawn and kill only move
// nodes between a type's free list and the run list.
//
// Each task type T provides `static const body_fn body;`, the body that
// spawn installs, and a default constructor.
template <class Line>
class taskmain;

template <class... Entries>
class taskmain<sst::line<Entries...>> {
public:
    static constexpr int count = sst::line<Entries...>::count;

    taskmain() {
        slots = static_cast<node*>(::operator new(sizeof(node) * 3 * count));
        nodearrays = static_cast<node**>(::operator new(sizeof(node*) * count));
        objectblocks = static_cast<unsigned char**>(::operator new(sizeof(unsigned char*) * count));
        node* link = &top;
        (build_pool<typename Entries::type, Entries::capacity>(link), ...);
        link->next = &bottom;
        bottom.prev = link;
    }

    virtual ~taskmain() {
        ::operator delete(slots);
        for (int t = 0; t < count; ++t) {
            delete[] nodearrays[t];
            ::operator delete(objectblocks[t]);
        }
        ::operator delete(nodearrays);
        ::operator delete(objectblocks);
    }

    taskmain(const taskmain&) = delete;
    taskmain& operator=(const taskmain&) = delete;

    // T's position in the line. Assigned once, on first request, from this
    // scheduler class's own counter; construction requests them in line order.
    template <class T>
    static int index() {
        static const int assigned = type_counter()++;
        return assigned;
    }

    template <class T>
    node* spawn() {
        const int t = index<T>();
        node* free_cell = &slots[3 * t + 2];
        node* n = free_cell->next;
        if (n == free_cell) return nullptr;
        free_cell->next = n->next;

        node* head = &slots[3 * t];
        n->next = head->next;
        head->next->prev = n;
        n->prev = head;
        head->next = n;

        n->body = T::body;
        n->kind = live_task;
        // Default-initialise in place: the storage is not cleared, so fields the
        // constructor leaves alone keep what the node's previous task wrote.
        ::new (n->object) T;
        return n;
    }

    // n must be a live node of type T. It leaves the run list at once and is
    // the next node of T handed out. Its object is not destroyed.
    template <class T>
    void kill(node* n) {
        n->prev->next = n->next;
        n->next->prev = n->prev;
        node* free_cell = &slots[3 * index<T>() + 2];
        n->next = free_cell->next;
        free_cell->next = n;
    }

    // Back to the state of a fresh scheduler: no task live, and every free
    // list in its first order, so the nodes are handed out again as they
    // were the first time. Objects are not destroyed (as in kill).
    void reset() { (reset_pool<typename Entries::type, Entries::capacity>(), ...); }

    // The number of T's tasks the pool holds.
    template <class T>
    static constexpr int capacity() {
        int c = 0;
        ((c = std::is_same_v<T, typename Entries::type> ? Entries::capacity : c), ...);
        return c;
    }

    // The first of T's capacity<T>() nodes, which lie in one array for the
    // pool's life: a node's distance from it indexes tables kept beside the pool.
    template <class T>
    node* pool_nodes() {
        return nodearrays[index<T>()];
    }

    // Newest live task of T first; end<T>() when T has none.
    template <class T>
    node* begin() { return slots[3 * index<T>()].next; }

    template <class T>
    node* end() { return &slots[3 * index<T>() + 1]; }

    // One walk over the whole run list. The cursor is re-read after each body,
    // which may have moved it back to kill its own node.
    void run() {
        ++walks_;
        walking_ = true;
        node* cursor = top.next;
        while (cursor != &bottom) {
            cursor->body(&cursor);
            cursor = cursor->next;
        }
        walking_ = false;
    }

    // The walks begun so far, and whether one is under way: a body can tell
    // the walk it runs in from the last, and a call of its own from a walk.
    std::uint64_t walks() const { return walks_; }
    bool walking() const { return walking_; }

private:
    std::uint64_t walks_ = 0;
    bool walking_ = false;

    static int& type_counter() {
        static int counter = 0;
        return counter;
    }

    template <class T, int N>
    void reset_pool() {
        const int t = index<T>();
        node* nodes = nodearrays[t];
        node* free_cell = &slots[3 * t + 2];
        free_cell->next = &nodes[0];
        for (int i = 0; i < N; ++i) nodes[i].next = (i + 1 < N) ? &nodes[i + 1] : free_cell;
        node* head = &slots[3 * t];
        node* tail = &slots[3 * t + 1];
        head->next = tail;
        tail->prev = head;
    }

    template <class T, int N>
    void build_pool(node*& link) {
        const int t = index<T>();
        node* nodes = new node[N];
        auto* objects = static_cast<unsigned char*>(::operator new(sizeof(T) * N));
        nodearrays[t] = nodes;
        objectblocks[t] = objects;

        node* free_cell = &slots[3 * t + 2];
        free_cell->next = &nodes[0];
        for (int i = 0; i < N; ++i) {
            nodes[i].next = (i + 1 < N) ? &nodes[i + 1] : free_cell;
            nodes[i].object = objects + static_cast<std::size_t>(i) * sizeof(T);
        }

        node* head = &slots[3 * t];
        node* tail = &slots[3 * t + 1];
        head->kind = type_head;
        head->body = &idle;
        head->prev = link;
        link->next = head;
        tail->kind = type_tail;
        tail->body = &idle;
        head->next = tail;
        link = tail;
    }

public:
    node top{};
    node bottom{};
    node* slots = nullptr;
    node** nodearrays = nullptr;
    unsigned char** objectblocks = nullptr;
};

// Reads the object of a node of type T.
template <class T>
T& object_of(node* n) { return *static_cast<T*>(n->object); }

}  // namespace vaz::tasksystem
