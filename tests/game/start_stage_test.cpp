// open_stage_files and start_stage in process, after the window and the audio
// output exist, as the program has them: what each start leaves behind. One
// window object may exist per process; this environment opens it and the
// audio output.
#include <SDL.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "game/startup.hpp"
#include "gametask/schedulers.hpp"
#include "shell/music.hpp"
#include "shell/pattern_store.hpp"
#include "shell/sprites.hpp"
#include "shell/video.hpp"
#include "support/scratch.hpp"
#include "support/task_reset.hpp"

namespace {

class window_environment : public ::testing::Environment {
public:
    void SetUp() override {
        audio = std::make_unique<vaz::xbass<audiolayer::playback::layer>>();
        window = new vaz::xcppsdl<void>(0);
    }
    void TearDown() override {
        delete window;
        window = nullptr;
        audio.reset();
    }

private:
    std::unique_ptr<vaz::xbass<audiolayer::playback::layer>> audio;
};

const ::testing::Environment* const the_window = ::testing::AddGlobalTestEnvironment(new window_environment);

class StartStage : public ::testing::Test {
protected:
    void SetUp() override {
        if (!sprite_sheet.surface_ptr) GTEST_SKIP() << "no sprite sheet found from " << SDL_GetError();
        test_support::kill_all(update_tasks);
    }
    void TearDown() override { test_support::kill_all(update_tasks); }

    // As velmora starts on its command line's file names: with fewer than
    // two, the title demo.
    static std::string start(const std::vector<std::string>& files) {
        const bool demo = files.size() < 2;
        if (std::string why = open_stage_files(demo ? "" : files[0], demo ? "" : files[1]); !why.empty()) return why;
        return start_stage(demo);
    }

    static void expect_sheet_keyed_cyan() {
        const SDL_Surface* sheet = sprite_sheet.surface_ptr;
        EXPECT_TRUE(sheet->flags & SDL_SRCCOLORKEY);
        EXPECT_EQ(sheet->format->colorkey, SDL_MapRGB(window->format, 0, 255, 255));
    }
};

}  // namespace

TEST_F(StartStage, DemoStartRunsTheTitleDemoWithoutMusicOrPattern) {
    const auto stream_before = music_stream;
    const auto count_before = pattern_group_count;
    ASSERT_EQ(start({"only-a-song.wav"}), "");
    EXPECT_EQ(test_support::live_count<gametask::titledemo>(update_tasks), 1);
    EXPECT_EQ(test_support::live_count<gametask::titleready>(update_tasks), 0);
    EXPECT_EQ(music_stream, stream_before);
    EXPECT_EQ(pattern_group_count, count_before);
    expect_sheet_keyed_cyan();
}

TEST_F(StartStage, NormalStartOpensTheMusicLoadsThePatternAndWaitsOnTheTitle) {
    shell_test::scratch_dir dir;
    shell_test::write_wav(dir / "song.wav", 4410, [](std::uint32_t k) { return k; });
    shell_test::write_bytes(dir / "song.pat", {0x02, 0x07, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                               0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff});
    // The groups are never cleared, so only what this load adds is looked at.
    const std::uint32_t first_before = pattern_groups[0].count;
    const std::uint32_t second_before = pattern_groups[1].count;
    ASSERT_EQ(start({dir / "song.wav", dir / "song.pat"}), "");
    EXPECT_NE(music_stream, 0u);
    EXPECT_EQ(pattern_group_count, 2);
    ASSERT_EQ(pattern_groups[0].count, first_before + 1);
    EXPECT_EQ(pattern_groups[0][first_before].time, 7);
    EXPECT_EQ(pattern_groups[1].count, second_before);
    EXPECT_EQ(test_support::live_count<gametask::titleready>(update_tasks), 1);
    EXPECT_EQ(test_support::live_count<gametask::titledemo>(update_tasks), 0);
    expect_sheet_keyed_cyan();
}
