#pragma once
#include <iosfwd>
#include <string>
#include <string_view>

namespace converter {

// The converter's own texts, in UTF-8 here; they reach the console in the
// encoding of the user's locale.
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
}  // namespace messages

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

private:
    std::ostream& out_;
    console_encoding encoding_;
};

}  // namespace converter
