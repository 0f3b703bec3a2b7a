#include "engine/Mp3EngineApi.h"

#include <cstring>
#include <new>

namespace tolvane::mp3 {

Mp3Engine* create() {
    return new (std::nothrow) Mp3Engine();
}

int destroy(Mp3Engine* engine) {
    if (!engine) {
        return 0;
    }
    engine->Release();
    return 1;
}

size_t copyErrorText(Mp3Engine* engine, char* buffer, size_t size) {
    if (!engine) {
        return 0;
    }
    const char* text = engine->GetLastErrorText();
    const size_t length = std::strlen(text);
    if (!buffer || size == 0) {
        return length + 1;
    }
    const size_t copied = length < size - 1 ? length : size - 1;
    std::memcpy(buffer, text, copied);
    buffer[copied] = '\0';
    return copied;
}

std::string errorText(Mp3Engine* engine) {
    return engine ? std::string(engine->GetLastErrorText()) : std::string();
}

int openFile(Mp3Engine* engine, const char* path, int32_t bufferMs, uint32_t seekOffset,
             uint32_t size) {
    return engine ? engine->OpenMp3File(path, bufferMs, seekOffset, size) : 0;
}

int openStream(Mp3Engine* engine, int32_t copy, int32_t managed, const void* data, uint32_t size,
               int32_t bufferMs) {
    return engine ? engine->OpenStream(copy, managed, data, size, bufferMs) : 0;
}

int pushDataToStream(Mp3Engine* engine, const void* data, uint32_t size) {
    return engine ? engine->PushDataToStream(data, size) : 0;
}

int play(Mp3Engine* engine) {
    return engine ? engine->Play() : 0;
}
int stop(Mp3Engine* engine) {
    return engine ? engine->Stop() : 0;
}
int pause(Mp3Engine* engine) {
    return engine ? engine->Pause() : 0;
}
int resume(Mp3Engine* engine) {
    return engine ? engine->Resume() : 0;
}

int getPosition(Mp3Engine* engine, MP3_TIME* time) {
    return engine ? engine->GetPosition(time) : 0;
}

int getHeardPosition(Mp3Engine* engine, MP3_TIME* time) {
    return engine ? engine->GetHeardPosition(time) : 0;
}

int seek(Mp3Engine* engine, uint32_t format, MP3_TIME* time, uint32_t method) {
    return engine ? engine->Seek(format, time, method) : 0;
}

int getSongLengthHMS(Mp3Engine* engine, MP3_TIME* length) {
    return engine ? engine->GetSongLengthHMS(length) : 0;
}

int getBitrate(Mp3Engine* engine, int32_t average) {
    return engine ? engine->GetBitrate(average) : 0;
}

int getStatus(Mp3Engine* engine, MP3_STATUS* status) {
    return engine ? engine->GetStatus(status) : 0;
}

int setCallbackFunc(Mp3Engine* engine, Mp3Callback callback, uint32_t mask) {
    return engine ? engine->SetCallbackFunc(std::move(callback), mask) : 0;
}

} // namespace tolvane::mp3
