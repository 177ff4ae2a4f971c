#pragma once

namespace gametask {

struct myship;
struct game;

// Hits and grazes of every live incoming bullet against the ship, counted into
// the run's record. Run by the game task once per update.
void contact_check(myship& ship, game& run);

}  // namespace gametask
