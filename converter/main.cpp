// velmora_bc: turns a 44100 Hz sound file into a pattern file. Built once
// per edition with a program in converter/editions.def, VELMORA_BC_EDITION
// naming it.
//
//     velmora_bc SOURCE OUTPUT [--threads N] [--edition E] [--difficulty D]
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include "converter/console.hpp"
#include "converter/convert.hpp"
#include "converter/output_file.hpp"
#include "converter/sample_stream.hpp"
#include "audiolayer/decode.hpp"
#include "vaz/executable.hpp"
#include "vaz/xbass.hpp"

constexpr converter::edition this_edition = converter::edition::VELMORA_BC_EDITION;
constexpr const char* program_name = VELMORA_BC_PROGRAM;
// The zetaflux edition's program has always said its name in its banner.
constexpr std::string_view banner =
    this_edition == converter::edition::zetaflux ? converter::messages::banner_zetaflux : converter::messages::banner_standard;

namespace {

constexpr unsigned max_threads = 256;

struct options {
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    converter::edition edition = this_edition;
    converter::difficulty difficulty = converter::difficulty::hard;
};

// After the two file names, each at most once and in any order: `--threads
// N` (N from 1 to max_threads; one per core without it), `--edition E` (the
// program's own without it) and `--difficulty D` (hard, the edition's full
// density, without it). False for anything else there, which gets the usage
// text.
bool read_options(int argc, char** argv, options* o) {
    if (argc < 3 || argc % 2 == 0) return false;
    bool threads_seen = false, edition_seen = false, difficulty_seen = false;
    for (int i = 3; i < argc; i += 2) {
        const std::string_view name = argv[i], value = argv[i + 1];
        if (name == "--threads" && !threads_seen) {
            threads_seen = true;
            if (value.empty() || value.size() > 4 || value.find_first_not_of("0123456789") != std::string::npos)
                return false;
            o->threads = static_cast<unsigned>(std::stoul(std::string(value)));
            if (o->threads < 1 || o->threads > max_threads) return false;
        } else if (name == "--edition" && !edition_seen) {
            edition_seen = true;
            const auto e = converter::edition_from_name(value);
            if (!e) return false;
            o->edition = *e;
        } else if (name == "--difficulty" && !difficulty_seen) {
            difficulty_seen = true;
            const auto d = converter::difficulty_from_name(value);
            if (!d) return false;
            o->difficulty = *d;
        } else {
            return false;
        }
    }
    return true;
}

void print_help(converter::console& con) {
    namespace msg = converter::messages;
    std::string syntax = converter::translate(msg::help_syntax);
    if (const auto at = syntax.find("%s"); at != std::string::npos) syntax.replace(at, 2, program_name);
    con.message(banner);
    con.line(syntax);
    con.message(msg::help_purpose);
    con.message(msg::help_option_threads);
    con.message(msg::help_option_edition);
    con.message(msg::help_option_difficulty);
    con.message(msg::help_option_help);
    con.message(msg::help_option_version);
}

}  // namespace

int main(int argc, char** argv) {
    namespace msg = converter::messages;
    // A reader that stops listening (velmora_bc ... | head) must not cut the
    // conversion short.
    std::signal(SIGPIPE, SIG_IGN);
    vaz::xbass<audiolayer::decode::layer> audio;
    converter::use_translations(converter::catalogue_dirs(vaz::executable_dir()));
    converter::console con(std::cout, converter::locale_console_encoding());

    // Only as the one argument: any other list keeps its old meaning.
    if (argc == 2 && std::string_view(argv[1]) == "--help") {
        print_help(con);
        return 0;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
        con.line(std::string(program_name) + " " + VELMORA_VERSION);
        return 0;
    }
    options opts;
    if (!read_options(argc, argv, &opts)) {
        con.message(banner);
        con.message(msg::usage_source);
        con.message(msg::usage_output);
        return 1;
    }

    // Opened and checked here; decoded while it is converted, a second at a
    // time, never held whole.
    converter::decoded_stream source(argv[1]);
    if (source.failed()) {
        con.message_naming(msg::load_failed, msg::load_failed_naming, argv[1]);
        return 1;
    }
    if (source.rate() != converter::sample_rate) {
        con.message(msg::rate_refused);
        return 1;
    }

    // The source is still being read, and replacing it with the pattern file
    // would lose the user's music.
    if (converter::same_file(argv[1], argv[2])) {
        con.message(msg::output_not_created);
        con.message(msg::conversion_failed);
        return 1;
    }

    bool converted;
    try {
        converted = converter::convert(source, argv[2], opts.edition, opts.difficulty, con, opts.threads);
    } catch (const converter::source_failed&) {
        // Damage that shows only while decoding (a broken MP3 frame): a
        // failed load, found late. The unfinished file has been removed.
        con.message_naming(msg::load_failed, msg::load_failed_naming, argv[1]);
        return 1;
    } catch (const std::bad_alloc&) {
        // The unfinished file has been removed on the way out.
        converted = false;
    } catch (const std::system_error&) {
        // No thread could be started for the analysis.
        converted = false;
    }
    con.message(converted ? msg::conversion_succeeded : msg::conversion_failed);
    return converted ? 0 : 1;
}
