#pragma once
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace converter {

// The converter's own texts, in UTF-8 here; they reach the console in the
// user's language (they are the source strings of the message catalogue,
// po/*.po) and in the encoding of the user's locale.
namespace messages {
inline constexpr std::string_view banner_standard = "* velmora 弾幕変換器*";
inline constexpr std::string_view banner_zetaflux = "* velmora 弾幕変換器 zetaflux *";
inline constexpr std::string_view usage_source = "第1引数に変換元のファイル名を指定してください.";
inline constexpr std::string_view usage_output = "第2引数に生成するファイル名を指定してください.";
inline constexpr std::string_view load_failed = "wavファイルの読み込みに失敗しました.";
inline constexpr std::string_view rate_refused = "44100以外のサンプリングレートには対応していません.";
inline constexpr std::string_view output_not_created = "出力ファイルの生成に失敗しました.";
inline constexpr std::string_view output_not_written = "出力ファイルの書き込みに失敗しました.";
inline constexpr std::string_view conversion_failed = "変換に失敗しました.";
inline constexpr std::string_view conversion_succeeded = "正常に終了しました.";
// Only where a catalogue translates load_failed: the same naming the file
// (%s), which the Japanese text never did.
inline constexpr std::string_view load_failed_naming = "wavファイル「%s」の読み込みに失敗しました.";
// --help, the one argument: the banner, then these; %s is the program's name.
inline constexpr std::string_view help_syntax =
    "使い方: %s 変換元ファイル 生成ファイル [--threads N] [--edition E] [--difficulty D]";
inline constexpr std::string_view help_purpose =
    "44100 Hzの音声ファイル(WAV, FLAC, Ogg, MP3など)を弾幕のパターンファイルに変換します.";
inline constexpr std::string_view help_option_help = "  --help     この説明を表示して終了します.";
inline constexpr std::string_view help_option_version = "  --version  版数を表示して終了します.";
inline constexpr std::string_view help_option_threads = "  --threads N  解析をN個のスレッドで行います(既定: コア数).";
inline constexpr std::string_view help_option_edition =
    "  --edition E  standard, zetaflux または dynamics(音量に応じて弾数が変わります)で変換します.";
inline constexpr std::string_view help_option_difficulty =
    "  --difficulty D  easy, normal または hard(既定: 版の全弾数)で変換します.";
}  // namespace messages

// The message catalogue's domain: <dir>/<language>/LC_MESSAGES/velmora.mo.
inline constexpr const char* message_domain = "velmora";

// Where the catalogues may be, in order: the installed tree around the
// program (<prefix>/bin or <prefix>/games beside <prefix>/share/locale), the
// build folder (its locale/ beside the programs), then the folder the build
// installs them to. exe_dir may be empty when it is unknown.
std::vector<std::string> catalogue_dirs(const std::string& exe_dir);

// Turns translated messages on for the user's language, as gettext reads it
// from LC_ALL, LC_MESSAGES, LANG and LANGUAGE, with the first of dirs that
// holds a catalogue. The C and POSIX locales (C.UTF-8 too) keep the texts as
// they are whatever LANGUAGE says. A language whose locale is not generated on
// this system is still honoured: only the messages' language is wanted, their
// encoding is the console's business. Returns whether translation is on.
bool use_translations(const std::vector<std::string>& dirs);

// The text in the user's language, UTF-8; msgid itself when translation is
// off or the catalogue lacks it.
std::string translate(std::string_view msgid);

enum class console_encoding { utf8, shift_jis };

// Shift-JIS for a code set named Shift-JIS or CP932 (in any of their
// spellings), UTF-8 for everything else, the C locale included.
console_encoding encoding_of_codeset(std::string_view codeset);
// The encoding of the environment's LC_CTYPE locale; the process's own
// locale is left as it is.
console_encoding locale_console_encoding();
// Shift-JIS means code page 932. Should the system lack that converter, the
// UTF-8 text is kept rather than losing the message.
std::string encode_for_console(std::string_view utf8, console_encoding encoding);

// One line per message, flushed at once.
class console {
public:
    console(std::ostream& out, console_encoding encoding) : out_(out), encoding_(encoding) {}
    void line(std::string_view utf8);
    // One of the messages above, in the user's language.
    void message(std::string_view msgid) { line(translate(msgid)); }
    // plain as it is without a translation; translated, naming (with %s
    // replaced by name) instead, so the user's language also gets the name.
    void message_naming(std::string_view plain, std::string_view naming, const std::string& name);

private:
    std::ostream& out_;
    console_encoding encoding_;
};

}  // namespace converter
