#pragma once
// Every task type of the game, in update line order, each with its role.
#include "gametask/bullet_echo.hpp"  // exit mark a bullet leaves at the playfield edge
#include "gametask/bullet_r.hpp"     // incoming bullet: hits, grazes, chain state
#include "gametask/bullet_b.hpp"     // tracer, turns into an incoming bullet at the edge
#include "gametask/myship.hpp"       // the player's ship, its graze gauge and bomb
#include "gametask/bullet_ctor.hpp"  // fires one pattern group's events as tracers
#include "gametask/blood.hpp"        // blood particle thrown up on a hit
#include "gametask/spark.hpp"        // spark flying out of a grazing bullet
#include "gametask/smile.hpp"        // smiling face while no hit is recent
#include "gametask/bombed.hpp"       // hurt face after a hit
#include "gametask/outi.hpp"         // marker that the pattern is finished
#include "gametask/game.hpp"         // a run: hits and score, in play and on its result
#include "gametask/gameover.hpp"     // the result screen
#include "gametask/titledemo.hpp"    // the self-running title demo
#include "gametask/titleready.hpp"   // the title, waiting for a start key
