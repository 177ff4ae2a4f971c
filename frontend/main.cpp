#include "frontend/velmora_play.hpp"

int main(int argc, char** argv) { return frontend::velmora_play_main(argc, argv); }
