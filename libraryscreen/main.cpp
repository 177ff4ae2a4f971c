#include "libraryscreen/list_screen.hpp"

int main(int argc, char** argv) { return libraryscreen::library_main(argc, argv); }
