// velmora_bc: turns a 44100 Hz sound file into a pattern file. Built twice,
// the zetaflux edition with VELMORA_BC_ZETAFLUX defined to 1.
#include <csignal>
#include <iostream>
#include <new>

#include "converter/console.hpp"
#include "converter/convert.hpp"
#include "converter/output_file.hpp"
#include "converter/wave_sample.hpp"
#include "audiolayer/decode.hpp"
#include "vaz/xbass.hpp"

#if VELMORA_BC_ZETAFLUX
constexpr converter::edition this_edition = converter::edition::zetaflux;
constexpr std::string_view banner = converter::messages::banner_zetaflux;
#else
constexpr converter::edition this_edition = converter::edition::standard;
constexpr std::string_view banner = converter::messages::banner_standard;
#endif

int main(int argc, char** argv) {
    namespace msg = converter::messages;
    // A reader that stops listening (velmora_bc ... | head) must not cut the
    // conversion short.
    std::signal(SIGPIPE, SIG_IGN);
    vaz::xbass<audiolayer::decode::layer> audio;
    converter::console con(std::cout, converter::locale_console_encoding());

    if (argc != 3) {
        con.line(banner);
        con.line(msg::usage_source);
        con.line(msg::usage_output);
        return 1;
    }

    converter::wave_sample source(argv[1]);
    if (source.failed) {
        con.line(msg::load_failed);
        return 1;
    }
    if (source.info.freq != converter::sample_rate) {
        con.line(msg::rate_refused);
        return 1;
    }

    // The source is read whole by now, but replacing it with the pattern
    // file would still lose the user's music.
    if (converter::same_file(argv[1], argv[2])) {
        con.line(msg::output_not_created);
        con.line(msg::conversion_failed);
        return 1;
    }

    bool converted;
    try {
        converted = converter::convert(source, argv[2], this_edition, con);
    } catch (const std::bad_alloc&) {
        // The unfinished file has been removed on the way out.
        converted = false;
    }
    con.line(converted ? msg::conversion_succeeded : msg::conversion_failed);
    return converted ? 0 : 1;
}
