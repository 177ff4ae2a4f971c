#pragma once

// velmora_library [--edition NAME] [--fullscreen]: the game's own library
// screen, which velmora_play starts when it is given no song. One window
// for the whole session: the song list, a song's stage prepared with a bar,
// its title, runs and result screens as the game has them, back to the list
// with the runs kept; the settings; adding folders; watching a best run.
// Escape on the list ends it with status 0.
namespace libraryscreen {
int library_screen_main(int argc, char** argv);
}
