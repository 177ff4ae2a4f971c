#pragma once
#include <SDL.h>

#include <vector>

// Any joystick steers like the keyboard: once per frame, right after the keys
// are pumped, the joysticks' state becomes the keys it stands for, and
// query_key sees those keys held exactly as if they were typed.
//
//   d-pad (first hat) and left stick (axes 0 and 1)   the arrow keys
//   button 1 (index 0)                                 Space: bomb, start a run
//   start (index 7 on the common pads, 9 on others)    Return: leave the result screen
//   button 2 (index 1)                                 back: leaves a stage of a library session

struct pad_reading {
    Sint16 x = 0;  // left stick, -32768 (left) to 32767 (right)
    Sint16 y = 0;  // left stick, -32768 (up) to 32767 (down)
    Uint8 hat = SDL_HAT_CENTERED;
    bool fire = false;
    bool start = false;
    bool back = false;
};

// How far the stick must lean to count as a held arrow: a quarter of its travel,
// past the drift of a stick at rest.
constexpr int stick_dead_zone = 8192;

// One byte per key symbol, 1 = held by a joystick; all 0 without one.
extern Uint8 pad_keys[];

// Sets pad_keys from the readings of every joystick: a key is held when any
// joystick holds it.
void set_pad_keys(const std::vector<pad_reading>& readings);

// Opens every joystick present at start-up; none at all is fine. Once in a
// process: later calls keep the joysticks already open.
void open_gamepads();
// Reads the open joysticks into pad_keys (called by pump_input).
void read_gamepads();
// While a replay plays, the joysticks must not steer: pad_keys stay clear,
// and only the back button is read.
void set_gamepads_steer(bool steer);
// Whether a joystick's back button went down since the last call.
bool gamepad_back_pressed();
