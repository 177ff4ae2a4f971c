// recode IN OUT.flac|OUT.mp3: a sound file written again as FLAC or MP3, for
// the end-to-end case's two versions of one recording. Through doubles:
// libsndfile's MP3 writer turns 16-bit values into noise.
#include <sndfile.h>

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: recode IN OUT.flac|OUT.mp3\n");
        return 2;
    }
    SF_INFO in_info{};
    SNDFILE* in = sf_open(argv[1], SFM_READ, &in_info);
    if (!in) {
        std::fprintf(stderr, "recode: %s: %s\n", argv[1], sf_strerror(nullptr));
        return 1;
    }
    std::vector<double> values(static_cast<std::size_t>(in_info.frames * in_info.channels));
    const sf_count_t got = sf_readf_double(in, values.data(), in_info.frames);
    sf_close(in);
    SF_INFO out_info{};
    out_info.samplerate = in_info.samplerate;
    out_info.channels = in_info.channels;
    const std::string out_name = argv[2];
    const bool flac = out_name.size() > 5 && out_name.compare(out_name.size() - 5, 5, ".flac") == 0;
    out_info.format = flac ? (SF_FORMAT_FLAC | SF_FORMAT_PCM_16) : (SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
    SNDFILE* out = sf_open(argv[2], SFM_WRITE, &out_info);
    if (!out) {
        std::fprintf(stderr, "recode: %s: %s\n", argv[2], sf_strerror(nullptr));
        return 1;
    }
    const bool whole = sf_writef_double(out, values.data(), got) == got;
    sf_close(out);
    return whole ? 0 : 1;
}
