#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "converter/convert.hpp"
#include "support/run_process.hpp"
#include "support/scratch_dir.hpp"
#include "support/sound_files.hpp"

using test_support::scratch_dir;

namespace {

const std::string banner_standard = "* velmora 弾幕変換器*\n";
const std::string banner_zetaflux = "* velmora 弾幕変換器 zetaflux *\n";
const std::string usage =
    "第1引数に変換元のファイル名を指定してください.\n"
    "第2引数に生成するファイル名を指定してください.\n";
const std::string load_failed = "wavファイルの読み込みに失敗しました.\n";
const std::string rate_refused = "44100以外のサンプリングレートには対応していません.\n";
const std::string not_created = "出力ファイルの生成に失敗しました.\n";
const std::string not_written = "出力ファイルの書き込みに失敗しました.\n";
const std::string failed = "変換に失敗しました.\n";
const std::string succeeded = "正常に終了しました.\n";

std::string exe(bool zetaflux) { return build_dir() + (zetaflux ? "/velmora_bc_zetaflux" : "/velmora_bc"); }

process_result convert(bool zetaflux, std::vector<std::string> args, const process_options& opt = {}) {
    args.insert(args.begin(), exe(zetaflux));
    process_options o = opt;
    o.env.push_back("LC_ALL=C.UTF-8");
    return run_process(args, o);
}

std::vector<std::int16_t> stereo_music(std::size_t frames) {
    return test_sound::interleave({test_sound::pulsing_tone(frames, 800.0, 6.0, 15000.0, 1),
                                   test_sound::pulsing_tone(frames, 2500.0, 13.0, 12000.0, 2)});
}

// What the converter must write for these values, computed in process.
std::vector<std::uint8_t> expected_pattern(const std::vector<std::int16_t>& values, unsigned channels,
                                           converter::edition ed, converter::difficulty d) {
    converter::wave_sample source(44100, channels, values);
    pattern::vector_sink sink;
    std::ostringstream progress;
    converter::console con(progress, converter::console_encoding::utf8);
    converter::write_pattern(source, ed, d, sink, con);
    return sink.bytes;
}

std::vector<std::uint8_t> expected_pattern(const std::vector<std::int16_t>& values, unsigned channels, bool zetaflux) {
    return expected_pattern(values, channels, zetaflux ? converter::edition::zetaflux : converter::edition::standard,
                            converter::difficulty::hard);
}

std::string progress_lines(unsigned seconds, unsigned groups) {
    std::string s;
    for (unsigned c = 1; c <= groups; ++c)
        for (unsigned k = 1; k <= seconds; ++k)
            s += std::to_string(k) + " / " + std::to_string(seconds) + " : " + std::to_string(c) + " / 2\n";
    return s;
}

class Driver : public ::testing::Test {
protected:
    void SetUp() override {
        test_sound::write_wav16(dir / "music.wav", 44100, 2, music);
        test_sound::write_bytes(dir / "old.pat", old_bytes);
    }
    scratch_dir dir;
    std::vector<std::int16_t> music = stereo_music(2 * 44100 + 300);
    // An earlier pattern file, which a conversion may replace: one record
    // (time 0, angle 0, speed 1), then the terminator.
    std::vector<std::uint8_t> old_bytes = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                           0x00, 0x00, 0x80, 0x3F, 0xFF, 0xFF, 0xFF, 0xFF};
};

}  // namespace

TEST_F(Driver, WrongArgumentCountShowsBannerAndUsage) {
    const std::string src = dir / "music.wav", out = dir / "x.pat";
    // A third argument that is not a whole option is taken as a wrong count.
    const std::vector<std::vector<std::string>> arg_lists = {
        {}, {src}, {src, out, dir / "y.pat"}, {src, out, "--threads"}, {src, out, "--threads", "0"},
        {src, out, "--threads", "two"}, {src, out, "--threads", "257"}, {src, out, "--thread", "2"},
        {src, out, "--threads", "2", "extra"}, {"--threads", "2", src, out},
        {src, out, "--edition", "Dynamics"}, {src, out, "--edition"}, {src, out, "--difficulty", "medium"},
        {src, out, "--difficulty", "easy", "--difficulty", "easy"}, {"--edition", "dynamics", src, out}};
    for (bool z : {false, true}) {
        for (const auto& args : arg_lists) {
            const auto r = convert(z, args);
            EXPECT_EQ(r.out, (z ? banner_zetaflux : banner_standard) + usage);
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.status, 1);
        }
    }
    EXPECT_EQ(dir.entries().size(), 2u) << "no file created";
}

// English under an English locale, generated on this system or not; the C
// locale keeps the Japanese texts even when LANGUAGE asks for English.
TEST_F(Driver, SpeaksTheLanguageOfTheLocale) {
    const std::vector<std::string> english = {"LC_ALL=", "LC_MESSAGES=", "LANGUAGE=", "LANG=en_US.UTF-8"};
    const auto usage_run = run_process({exe(false)}, {english});
    EXPECT_EQ(usage_run.out,
              "* velmora bullet pattern converter *\n"
              "Give the name of the source sound file as the first argument.\n"
              "Give the name of the pattern file to write as the second argument.\n");
    EXPECT_EQ(usage_run.status, 1);
    const auto missing = run_process({exe(true), dir / "missing.wav", dir / "x.pat"}, {english});
    EXPECT_EQ(missing.out, "Could not read the source sound file \"" + (dir / "missing.wav") + "\".\n");
    EXPECT_EQ(missing.status, 1);

    const auto c_run = convert(false, {}, {{"LANGUAGE=en"}});
    EXPECT_EQ(c_run.out, banner_standard + usage);
}

// --help and --version only as the one argument; other lists as before.
TEST_F(Driver, HelpAndVersionAloneExitZero) {
    for (bool z : {false, true}) {
        const std::string name = z ? "velmora_bc_zetaflux" : "velmora_bc";
        const auto help = convert(z, {"--help"});
        EXPECT_EQ(help.out, (z ? banner_zetaflux : banner_standard) + "使い方: " + name +
                                " 変換元ファイル 生成ファイル [--threads N] [--edition E] [--difficulty D]\n"
                                "44100 Hzの音声ファイル(WAV, FLAC, Ogg, MP3など)を弾幕のパターンファイルに変換します.\n"
                                "  --threads N  解析をN個のスレッドで行います(既定: コア数).\n"
                                "  --edition E  standard, zetaflux または dynamics(音量に応じて弾数が変わります)で変換します.\n"
                                "  --difficulty D  easy, normal または hard(既定: 版の全弾数)で変換します.\n"
                                "  --help     この説明を表示して終了します.\n"
                                "  --version  版数を表示して終了します.\n");
        EXPECT_EQ(help.status, 0);
        const auto english_help = run_process({exe(z), "--help"}, {{"LC_ALL=", "LANGUAGE=", "LANG=en_GB.UTF-8"}});
        EXPECT_NE(english_help.out.find("Usage: " + name + " SOURCE OUTPUT [--threads N] [--edition E] [--difficulty D]\n"),
                  std::string::npos)
            << english_help.out;
        EXPECT_EQ(english_help.status, 0);
        const auto version = convert(z, {"--version"});
        EXPECT_EQ(version.out, name + " " + VELMORA_VERSION + "\n");
        EXPECT_EQ(version.status, 0);

        EXPECT_EQ(convert(z, {"--help", "--version"}).out, load_failed);
        EXPECT_EQ(convert(z, {"-help"}).out, (z ? banner_zetaflux : banner_standard) + usage);
        EXPECT_EQ(convert(z, {"--help", "a", "b"}).status, 1);
    }
}

TEST_F(Driver, ConvertsAndSaysSoWithoutBanner) {
    for (bool z : {false, true}) {
        const auto r = convert(z, {dir / "music.wav", dir / "out.pat"});
        EXPECT_EQ(r.out, progress_lines(2, 2) + succeeded);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(test_sound::read_bytes(dir / "out.pat"), expected_pattern(music, 2, z)) << (z ? "zetaflux" : "standard");
        for (const char* threads : {"1", "3"}) {
            const auto t = convert(z, {dir / "music.wav", dir / "out.pat", "--threads", threads});
            EXPECT_EQ(t.out, progress_lines(2, 2) + succeeded) << threads << " threads";
            EXPECT_EQ(t.status, 0);
            EXPECT_EQ(test_sound::read_bytes(dir / "out.pat"), expected_pattern(music, 2, z)) << threads << " threads";
        }
    }
}

// The options after the file names, in any order: each list writes what the
// library writes for its edition and difficulty.
TEST_F(Driver, EditionAndDifficultyOptions) {
    using converter::difficulty;
    using converter::edition;
    struct row {
        bool zetaflux_program;
        std::vector<std::string> options;
        edition ed;
        difficulty d;
    };
    const std::vector<row> rows = {
        {false, {"--difficulty", "hard"}, edition::standard, difficulty::hard},
        {false, {"--edition", "standard", "--threads", "1"}, edition::standard, difficulty::hard},
        {false, {"--difficulty", "easy"}, edition::standard, difficulty::easy},
        {false, {"--edition", "dynamics", "--difficulty", "easy", "--threads", "2"}, edition::dynamics, difficulty::easy},
        {false, {"--threads", "3", "--difficulty", "normal", "--edition", "dynamics"}, edition::dynamics, difficulty::normal},
        {true, {"--difficulty", "hard", "--threads", "2"}, edition::zetaflux, difficulty::hard},
        {true, {"--edition", "standard"}, edition::standard, difficulty::hard},
    };
    // Each choice makes its own stage of this music.
    ASSERT_NE(expected_pattern(music, 2, edition::standard, difficulty::easy),
              expected_pattern(music, 2, edition::standard, difficulty::hard));
    ASSERT_NE(expected_pattern(music, 2, edition::dynamics, difficulty::hard),
              expected_pattern(music, 2, edition::standard, difficulty::hard));
    for (const row& r : rows) {
        std::vector<std::string> args = {dir / "music.wav", dir / "out.pat"};
        args.insert(args.end(), r.options.begin(), r.options.end());
        const auto run = convert(r.zetaflux_program, args);
        const std::string what = args[2] + " " + args[3];
        EXPECT_EQ(run.out, progress_lines(2, 2) + succeeded) << what;
        EXPECT_EQ(run.status, 0) << what;
        EXPECT_EQ(test_sound::read_bytes(dir / "out.pat"), expected_pattern(music, 2, r.ed, r.d)) << what;
    }
}

TEST_F(Driver, ShortSourceGivesTheEmptyTwoGroupFile) {
    test_sound::write_wav16(dir / "short.wav", 44100, 2, stereo_music(44000));
    const auto r = convert(false, {dir / "short.wav", dir / "out.pat"});
    EXPECT_EQ(r.out, succeeded);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test_sound::read_bytes(dir / "out.pat"),
              (std::vector<std::uint8_t>{0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(Driver, ThreeWholeSecondsPrintSixProgressLinesInOrder) {
    test_sound::write_wav16(dir / "three.wav", 44100, 2, stereo_music(3 * 44100 + 7000));
    const auto r = convert(false, {dir / "three.wav", dir / "out.pat"});
    EXPECT_EQ(r.out,
              "1 / 3 : 1 / 2\n2 / 3 : 1 / 2\n3 / 3 : 1 / 2\n1 / 3 : 2 / 2\n2 / 3 : 2 / 2\n3 / 3 : 2 / 2\n" + succeeded);
}

TEST_F(Driver, MonoAndThreeChannelSources) {
    const auto mono = test_sound::pulsing_tone(2 * 44100, 1200.0, 9.0, 20000.0, 5);
    test_sound::write_wav16(dir / "mono.wav", 44100, 1, mono);
    auto r = convert(false, {dir / "mono.wav", dir / "mono.pat"});
    EXPECT_EQ(r.out, progress_lines(2, 1) + succeeded);
    const auto mono_pat = test_sound::read_bytes(dir / "mono.pat");
    ASSERT_FALSE(mono_pat.empty());
    EXPECT_EQ(mono_pat[0], 1);
    EXPECT_EQ(mono_pat, expected_pattern(mono, 1, false));

    const auto three = test_sound::interleave({mono, test_sound::pulsing_tone(2 * 44100, 300.0, 4.0, 9000.0, 6),
                                               std::vector<std::int16_t>(2 * 44100, 1234)});
    test_sound::write_wav16(dir / "three.wav", 44100, 3, three);
    r = convert(true, {dir / "three.wav", dir / "three.pat"});
    EXPECT_EQ(r.out, progress_lines(2, 2) + succeeded);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(test_sound::read_bytes(dir / "three.pat"), expected_pattern(three, 3, true));
}

TEST_F(Driver, ReadsOtherFormatsAndSampleWidths) {
    // Lossless: exactly the 16-bit WAV's pattern.
    const auto want = expected_pattern(music, 2, false);
    for (int format : {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, SF_FORMAT_WAV | SF_FORMAT_PCM_24, SF_FORMAT_WAV | SF_FORMAT_FLOAT}) {
        test_sound::write_sound(dir / "in.snd", format, 44100, 2, music);
        const auto r = convert(false, {dir / "in.snd", dir / "out.pat"});
        EXPECT_EQ(r.out, progress_lines(2, 2) + succeeded) << std::hex << format;
        EXPECT_EQ(test_sound::read_bytes(dir / "out.pat"), want) << std::hex << format;
    }
    for (const char* name : {"in.ogg", "in.mp3"}) {
        const int format = name[3] == 'o' ? (SF_FORMAT_OGG | SF_FORMAT_VORBIS) : (SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
        test_sound::write_sound(dir / name, format, 44100, 2, music);
        const auto r = convert(false, {dir / name, dir / "out.pat"});
        EXPECT_EQ(r.out, progress_lines(2, 2) + succeeded) << name;
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(test_sound::read_bytes(dir / "out.pat").at(0), 2) << name;
    }
}

TEST_F(Driver, UnloadableSourcesGetTheLoadMessage) {
    const auto good = test_sound::read_bytes(dir / "music.wav");
    test_sound::write_bytes(dir / "cut.wav", std::vector<std::uint8_t>(good.begin(), good.begin() + good.size() / 3));
    test_sound::write_bytes(dir / "empty.wav", {});
    test_sound::write_bytes(dir / "text.wav", {'n', 'o', 't', ' ', 'a', 'u', 'd', 'i', 'o'});
    test_sound::write_wav16(dir / "nothing.wav", 44100, 2, {});
    for (const char* name : {"missing.wav", "cut.wav", "empty.wav", "text.wav", "nothing.wav"}) {
        const auto r = convert(false, {dir / name, dir / "old.pat"});
        EXPECT_EQ(r.out, load_failed) << name;
        EXPECT_EQ(r.err, "") << name;
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(test_sound::read_bytes(dir / "old.pat"), old_bytes) << name;
    }
}

TEST_F(Driver, OtherRatesAreRefusedAndTheOutputLeftAlone) {
    test_sound::write_wav16(dir / "48k.wav", 48000, 2, stereo_music(48000));
    const auto r = convert(false, {dir / "48k.wav", dir / "old.pat"});
    EXPECT_EQ(r.out, rate_refused);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(test_sound::read_bytes(dir / "old.pat"), old_bytes);
    EXPECT_NE(convert(false, {dir / "48k.wav", dir / "new.pat"}).status, 0);
    EXPECT_EQ(dir.entries().size(), 3u) << "no new file";
}

// Nor is a file that holds something other than a pattern file replaced, such
// as other music when the arguments were guessed.
TEST_F(Driver, OutputThatCannotBeCreated) {
    ASSERT_EQ(mkdir((dir / "folder").c_str(), 0755), 0);
    const auto other_music = test_sound::read_bytes(dir / "music.wav");
    test_sound::write_bytes(dir / "other.wav", other_music);
    for (const std::string& out : {dir / "missing/out.pat", dir / "folder", dir / "other.wav"}) {
        const auto r = convert(false, {dir / "music.wav", out});
        EXPECT_EQ(r.out, not_created + failed) << out;
        EXPECT_EQ(r.status, 1);
    }
    EXPECT_EQ(test_sound::read_bytes(dir / "other.wav"), other_music);
}

// The output may not be the source itself, under any of its names: the
// user's music would be replaced by the pattern file.
TEST_F(Driver, TheSourceIsNeverTheOutput) {
    const auto original = test_sound::read_bytes(dir / "music.wav");
    ASSERT_EQ(symlink((dir / "music.wav").c_str(), (dir / "link.wav").c_str()), 0);
    ASSERT_EQ(link((dir / "music.wav").c_str(), (dir / "hard.wav").c_str()), 0);
    for (const std::string& out : {dir / "music.wav", dir / "./music.wav", dir / "link.wav", dir / "hard.wav"}) {
        const auto r = convert(true, {dir / "music.wav", out});
        EXPECT_EQ(r.out, not_created + failed) << out;
        EXPECT_EQ(r.status, 1) << out;
        EXPECT_EQ(test_sound::read_bytes(dir / "music.wav"), original) << out;
    }
    EXPECT_EQ(dir.entries().size(), 4u) << "no file left behind";
    // An empty output name is refused before any work, as a name that cannot be created.
    EXPECT_EQ(convert(false, {dir / "music.wav", ""}).out, not_created + failed);
}

// A full disk, as the file size limit makes it: the writes fail, the old file
// stays as it was and no partial file is left.
TEST_F(Driver, FailedWritesLeaveTheOldFileByteIdentical) {
    process_options full;
    full.file_size_limit = 200;
    full.ignore_file_size_signal = true;
    const auto r = convert(false, {dir / "music.wav", dir / "old.pat"}, full);
    ASSERT_GT(expected_pattern(music, 2, false).size(), 200u);
    EXPECT_EQ(r.out, progress_lines(2, 2) + not_written + failed);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(test_sound::read_bytes(dir / "old.pat"), old_bytes);
    EXPECT_EQ(dir.entries().size(), 2u) << "temporary file left behind";
}

TEST_F(Driver, AnAbnormalEndLeavesTheOldFileByteIdentical) {
    process_options full;
    full.file_size_limit = 200;  // the default action of SIGXFSZ ends the process
    const auto r = convert(false, {dir / "music.wav", dir / "old.pat"}, full);
    EXPECT_EQ(r.signal, SIGXFSZ);
    EXPECT_EQ(test_sound::read_bytes(dir / "old.pat"), old_bytes);
    EXPECT_EQ(dir.entries().size(), 2u) << "temporary file left behind";
}

// Ctrl-C in the middle of a conversion: the program still ends by the
// signal, and neither the old file nor a temporary one is left changed.
TEST_F(Driver, AnInterruptedConversionLeavesNoTemporaryFile) {
    test_sound::write_wav16(dir / "long.wav", 44100, 2, stereo_music(180 * 44100));
    // Its progress lines fill a one-page pipe that nobody reads, so the
    // conversion waits with its temporary file open until the signal.
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    fcntl(out[1], F_SETPIPE_SZ, 4096);
    const std::string program = exe(false), source = dir / "long.wav", target = dir / "old.pat";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl(program.c_str(), program.c_str(), source.c_str(), target.c_str(), "--threads", "1", nullptr);
        _exit(127);
    }
    close(out[1]);
    bool temporary_seen = false;
    for (int waited = 0; waited < 2000 && !temporary_seen; waited += 5) {
        for (const std::string& name : dir.entries()) temporary_seen |= name.rfind("old.pat.", 0) == 0;
        if (!temporary_seen) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    close(out[0]);
    EXPECT_TRUE(temporary_seen) << "the conversion never made its temporary file";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "status " << status;
    EXPECT_EQ(test_sound::read_bytes(dir / "old.pat"), old_bytes);
    std::vector<std::string> left = dir.entries();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"long.wav", "music.wav", "old.pat"}));
}

// Under a Shift-JIS locale every message leaves as code page 932 bytes.
TEST_F(Driver, WritesShiftJisUnderAShiftJisLocale) {
    const std::string locales = dir / "locales";
    mkdir(locales.c_str(), 0755);
    run_process({"/usr/bin/localedef", "-c", "-i", "ja_JP", "-f", "SHIFT_JIS", locales + "/ja_JP.SJIS"});
    struct stat st;
    if (stat((locales + "/ja_JP.SJIS").c_str(), &st) != 0) GTEST_SKIP() << "cannot build a Shift-JIS locale here";

    process_options sjis;
    sjis.env = {"LOCPATH=" + locales, "LC_ALL=ja_JP.SJIS"};
    const auto usage_run = run_process({exe(false)}, sjis);
    EXPECT_EQ(usage_run.out, converter::encode_for_console(banner_standard, converter::console_encoding::shift_jis) +
                                 converter::encode_for_console(usage, converter::console_encoding::shift_jis));
    EXPECT_EQ(usage_run.out.substr(0, 21), std::string("* velmora \x92\x65\x96\x8B\x95\xCF\x8A\xB7\x8A\xED*", 21));
    const auto ok = run_process({exe(false), dir / "music.wav", dir / "sjis.pat"}, sjis);
    EXPECT_EQ(ok.out, progress_lines(2, 2) + "\x90\xB3\x8F\xED\x82\xC9\x8F\x49\x97\xB9\x82\xB5\x82\xDC\x82\xB5\x82\xBD.\n");
    const auto missing = run_process({exe(false), dir / "missing.wav", dir / "sjis.pat"}, sjis);
    EXPECT_EQ(missing.out, converter::encode_for_console(load_failed, converter::console_encoding::shift_jis));
}
