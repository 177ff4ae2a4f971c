#include "libraryscreen/list_screen.hpp"

int main(int argc, char** argv) { return libraryscreen::library_screen_main(argc, argv); }
