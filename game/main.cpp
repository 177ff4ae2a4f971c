#include "game/entry.hpp"

int main(int argc, char** argv) { return velmora_main(argc, argv); }
