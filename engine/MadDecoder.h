#pragma once

#include <mad.h>

namespace tolvane {

// libmad's stream, frame and synthesis records with their set-up and
// teardown. The records are large, so the owner keeps this on the heap.
struct MadDecoder {
    mad_stream stream;
    mad_frame frame;
    mad_synth synth;

    MadDecoder() { init(0); }
    ~MadDecoder() { finish(); }
    MadDecoder(const MadDecoder&) = delete;
    MadDecoder& operator=(const MadDecoder&) = delete;

    // Starts afresh (no bit reservoir, no filter history) with the given
    // free-format bit rate.
    void reset(unsigned long freeRate) {
        finish();
        init(freeRate);
    }

  private:
    void init(unsigned long freeRate) {
        mad_stream_init(&stream);
        mad_frame_init(&frame);
        mad_synth_init(&synth);
        stream.freerate = freeRate;
    }
    void finish() {
        mad_synth_finish(&synth);
        mad_frame_finish(&frame);
        mad_stream_finish(&stream);
    }
};

} // namespace tolvane
