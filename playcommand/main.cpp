#include "playcommand/velmora_play.hpp"

int main(int argc, char** argv) { return playcommand::velmora_play_main(argc, argv); }
