#include "shell/gamepad.hpp"

#include <algorithm>
#include <vector>

#include "shell/keyboard.hpp"

Uint8 pad_keys[key_count] = {};

namespace {

std::vector<SDL_Joystick*> open_pads;
std::vector<pad_reading> readings;  // one per open pad, kept so no frame allocates
bool pads_opened = false;
bool steering = true;
bool back_was_down = false;
bool back_pressed = false;

constexpr int fire_button = 0;
constexpr int back_button = 1;
constexpr int start_buttons[] = {7, 9};

bool button_down(SDL_Joystick* pad, int button) {
    return button < SDL_JoystickNumButtons(pad) && SDL_JoystickGetButton(pad, button) == 1;
}

}  // namespace

void set_pad_keys(const std::vector<pad_reading>& readings) {
    std::fill(pad_keys, pad_keys + key_count, Uint8{0});
    for (const pad_reading& r : readings) {
        if ((r.hat & SDL_HAT_LEFT) || r.x < -stick_dead_zone) pad_keys[SDLK_LEFT] = 1;
        if ((r.hat & SDL_HAT_RIGHT) || r.x > stick_dead_zone) pad_keys[SDLK_RIGHT] = 1;
        if ((r.hat & SDL_HAT_UP) || r.y < -stick_dead_zone) pad_keys[SDLK_UP] = 1;
        if ((r.hat & SDL_HAT_DOWN) || r.y > stick_dead_zone) pad_keys[SDLK_DOWN] = 1;
        if (r.fire) pad_keys[SDLK_SPACE] = 1;
        if (r.start) pad_keys[SDLK_RETURN] = 1;
    }
}

void open_gamepads() {
    if (pads_opened) return;
    if (SDL_InitSubSystem(SDL_INIT_JOYSTICK) < 0) return;
    pads_opened = true;
    // Read by state once per frame, so no joystick events pile up in the queue.
    SDL_JoystickEventState(SDL_IGNORE);
    for (int i = 0; i < SDL_NumJoysticks(); ++i)
        if (SDL_Joystick* pad = SDL_JoystickOpen(i)) open_pads.push_back(pad);
    readings.reserve(open_pads.size());
}

void read_gamepads() {
    if (open_pads.empty()) return;
    SDL_JoystickUpdate();
    readings.clear();
    for (SDL_Joystick* pad : open_pads) {
        pad_reading r;
        if (SDL_JoystickNumAxes(pad) >= 2) {
            r.x = SDL_JoystickGetAxis(pad, 0);
            r.y = SDL_JoystickGetAxis(pad, 1);
        }
        if (SDL_JoystickNumHats(pad) >= 1) r.hat = SDL_JoystickGetHat(pad, 0);
        r.fire = button_down(pad, fire_button);
        r.start = std::any_of(std::begin(start_buttons), std::end(start_buttons),
                              [pad](int b) { return button_down(pad, b); });
        r.back = button_down(pad, back_button);
        readings.push_back(r);
    }
    const bool back_down = std::any_of(readings.begin(), readings.end(), [](const pad_reading& r) { return r.back; });
    if (back_down && !back_was_down) back_pressed = true;
    back_was_down = back_down;
    if (steering) set_pad_keys(readings);
}

void set_gamepads_steer(bool steer) {
    steering = steer;
    if (!steer) std::fill(pad_keys, pad_keys + key_count, Uint8{0});
}

bool gamepad_back_pressed() {
    const bool pressed = back_pressed;
    back_pressed = false;
    return pressed;
}
