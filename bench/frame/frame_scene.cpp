#include "bench/frame/frame_scene.hpp"

#include <SDL.h>

#include <chrono>
#include <cmath>
#include <cstdio>

#include "gametask/schedulers.hpp"
#include "shell/keyboard.hpp"
#include "shell/sprites.hpp"
#include "shell/video.hpp"

namespace frame_scene {
namespace {

namespace gt = gametask;
using vaz::tasksystem::node;
using vaz::tasksystem::object_of;

constexpr float ship_x = 220.0f, ship_y = 220.0f;

template <class T>
void kill_all() {
    while (update_tasks.begin<T>() != update_tasks.end<T>()) update_tasks.kill<T>(update_tasks.begin<T>());
}

void kill_every_update_task() {
    kill_all<gt::bullet_echo>();
    kill_all<gt::bullet_r>();
    kill_all<gt::bullet_b>();
    kill_all<gt::myship>();
    kill_all<gt::bullet_ctor>();
    kill_all<gt::blood>();
    kill_all<gt::spark>();
    kill_all<gt::smile>();
    kill_all<gt::bombed>();
    kill_all<gt::outi>();
    kill_all<gt::game>();
    kill_all<gt::gameover>();
    kill_all<gt::titledemo>();
    kill_all<gt::titleready>();
}

template <class T>
T* spawn() {
    node* n = update_tasks.spawn<T>();
    return n ? &object_of<T>(n) : nullptr;
}

void start_run() {
    gt::game* g = spawn<gt::game>();
    g->hits = 3;
    g->score = 1234;
    gt::myship* ship = spawn<gt::myship>();
    ship->x = ship_x;
    ship->y = ship_y;
    ship->gauge = 12345;  // a few bomb stocks and a partial bar to draw
    spawn<gt::smile>();
}

// Tracers on a 32x32 grid over the playfield, each slowly heading its own way.
void fill_tracers() {
    int i = 0;
    while (gt::bullet_b* b = spawn<gt::bullet_b>()) {
        const float a = static_cast<float>(i) * 2.39996f;
        b->x = 14.0f + static_cast<float>(i % 32) * 13.0f;
        b->y = 14.0f + static_cast<float>(i / 32 % 32) * 13.0f;
        b->vx = 0.5f * std::cos(a);
        b->vy = 0.5f * std::sin(a);
        ++i;
    }
}

// Incoming bullets in tight clusters of eight, away from the ship, with the
// chain states spread over every phase: normal, fuse, burst and spent. The
// bursting ones trigger their normal neighbours, which burst in later frames.
void fill_incoming() {
    constexpr int grid = 12;
    constexpr float first = 30.0f, spacing = 34.5f;
    int i = 0;
    for (int cell = 0; cell < grid * grid; ++cell) {
        const float cx = first + static_cast<float>(cell % grid) * spacing;
        const float cy = first + static_cast<float>(cell / grid) * spacing;
        if (std::fabs(cx - ship_x) < 45.0f && std::fabs(cy - ship_y) < 45.0f) continue;
        for (int k = 0; k < 8; ++k, ++i) {
            gt::bullet_r* r = spawn<gt::bullet_r>();
            if (!r) return;
            r->x = cx + static_cast<float>(k % 4) * 2.0f;
            r->y = cy + static_cast<float>(k / 4) * 3.0f;
            r->vx = 0.25f;
            r->vy = -0.25f;
            r->state = (i * 7) % 91 - 80;  // -80..10
            r->chain = i % 3;
        }
    }
}

void fill_exit_marks() {
    int i = 0;
    while (gt::bullet_echo* e = spawn<gt::bullet_echo>()) {
        const int along = (i * 37) % 441;
        switch (i % 4) {
            case 0: e->x = along; e->y = 0; break;
            case 1: e->x = 440; e->y = along; break;
            case 2: e->x = along; e->y = 440; break;
            default: e->x = 0; e->y = along; break;
        }
        e->countdown = 1 + i % 40;
        ++i;
    }
}

void fill_blood_and_sparks() {
    int i = 0;
    while (gt::blood* b = spawn<gt::blood>()) {  // velocities drawn by the constructor
        b->x = 20.0f + static_cast<float>((i * 13) % 400);
        b->y = 300.0f + static_cast<float>((i * 7) % 100);
        ++i;
    }
    i = 0;
    while (gt::spark* s = spawn<gt::spark>()) {
        s->x = 10.0f + static_cast<float>((i * 29) % 420);
        s->y = 10.0f + static_cast<float>((i * 17) % 420);
        s->age = i % 5;
        s->lifetime = 29;
        ++i;
    }
}

template <class T>
int live() {
    int n = 0;
    for (node* p = update_tasks.begin<T>(); p != update_tasks.end<T>(); p = p->next) ++n;
    return n;
}

}  // namespace

bool open() {
    window = new vaz::xcppsdl<void>(0);
    if (!window->surface_ptr) {
        std::fprintf(stderr, "frame_scene: cannot set the video mode: %s\n", SDL_GetError());
        return false;
    }
    if (!sprite_sheet.surface_ptr) {
        std::fprintf(stderr, "frame_scene: no sprite sheet; run from the source root so that data/p.bmp is found\n");
        return false;
    }
    SDL_SetColorKey(sprite_sheet.surface_ptr, SDL_SRCCOLORKEY | SDL_RLEACCEL, SDL_MapRGB(window->format, 0, 255, 255));
    spawn_drawing_layer();
    return true;
}

void fill_crowded() {
    kill_every_update_task();
    start_run();
    fill_incoming();
    fill_tracers();
    fill_exit_marks();
    fill_blood_and_sparks();
}

void top_up() {
    fill_incoming();
    fill_tracers();
    fill_exit_marks();
    fill_blood_and_sparks();
}

pool_counts live_per_pool() {
    return {live<gt::bullet_echo>(), live<gt::bullet_r>(), live<gt::bullet_b>(), live<gt::blood>(), live<gt::spark>()};
}

void start_demo() {
    kill_every_update_task();
    spawn<gt::titledemo>();
}

void run_frame(step_times* times) {
    using clock_type = std::chrono::steady_clock;
    auto mark = clock_type::now();
    auto lap = [&](double step_times::*step) {
        if (!times) return;
        const auto now = clock_type::now();
        times->*step += std::chrono::duration<double>(now - mark).count();
        mark = now;
    };
    SDL_Rect whole{0, 0, static_cast<Uint16>(window->width), static_cast<Uint16>(window->height)};
    SDL_FillRect(window->surface_ptr, &whole, 0);
    lap(&step_times::clear);
    draw_playfield_border();
    lap(&step_times::border);
    update_tasks.run();
    lap(&step_times::updates);
    draw_tasks.run();
    lap(&step_times::drawing);
    window->flip();
    lap(&step_times::flip);
    pump_input();
    poll_events();
    lap(&step_times::input);
}

int live_bullets_and_effects() {
    return live<gt::bullet_echo>() + live<gt::bullet_r>() + live<gt::bullet_b>() + live<gt::blood>() + live<gt::spark>();
}

}  // namespace frame_scene
