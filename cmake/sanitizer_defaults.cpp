// Linked into every program of a sanitized build, so that a test run needs no
// environment settings; options given in the environment still win.
extern "C" {

// Static objects live in one file each in a fixed order; any read across
// files before construction is a fault worth stopping for.
const char* __asan_default_options() { return "check_initialization_order=1:strict_init_order=1"; }

const char* __ubsan_default_options() { return "print_stacktrace=1:halt_on_error=1"; }

const char* __lsan_default_options() { return "print_suppressions=0"; }

// Leaks inside system libraries, none of them memory our code owns: the SDL
// 1.2 layer keeps part of the video surface after SDL_Quit (as a program of a
// few lines shows), and the audio and display back ends keep their D-Bus and
// GLX connections for the life of the process. The frames through these
// libraries carry no frame pointers, so only the library can be named.
const char* __lsan_default_suppressions() {
    return "leak:libSDL2-2.0.so\n"
           "leak:libdbus-1.so\n"
           "leak:libGLX_mesa.so\n";
}

}
