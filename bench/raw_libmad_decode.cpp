// The floor for bench/compare: libmad's frame decoding and synthesis over a
// whole file in memory, with no output conversion and no output at all.
// Prints the number of frames decoded.
#include <mad.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: raw_libmad_decode FILE.mp3\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::vector<unsigned char> data{std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>()};
    if (!in.is_open() || data.empty()) {
        std::fprintf(stderr, "raw_libmad_decode: can't read %s\n", argv[1]);
        return 1;
    }
    data.resize(data.size() + MAD_BUFFER_GUARD, 0); // the decoder reads past the last frame

    mad_stream stream;
    mad_frame frame;
    mad_synth synth;
    mad_stream_init(&stream);
    mad_frame_init(&frame);
    mad_synth_init(&synth);
    mad_stream_buffer(&stream, data.data(), data.size());
    unsigned long frames = 0;
    for (;;) {
        if (mad_frame_decode(&frame, &stream) != 0) {
            if (MAD_RECOVERABLE(stream.error)) {
                continue;
            }
            break;
        }
        mad_synth_frame(&synth, &frame);
        ++frames;
    }
    mad_synth_finish(&synth);
    mad_frame_finish(&frame);
    mad_stream_finish(&stream);
    std::printf("%lu\n", frames);
    return 0;
}
