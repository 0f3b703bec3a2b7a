#pragma once

#include "engine/Mp3Engine.h"

#include <cstddef>
#include <string>

// The thin layer of free functions through which the application drives an
// engine object. Each takes the object first and does nothing (returns 0) when
// it is null.
namespace tolvane::mp3 {

Mp3Engine* create();
// Destroys the object: 1, or 0 for a null pointer.
int destroy(Mp3Engine* engine);
// Copies the error text into `buffer`. With a null buffer or size 0 returns
// the text's length + 1; otherwise copies at most size − 1 characters,
// terminates the copy and returns the number of characters copied.
size_t copyErrorText(Mp3Engine* engine, char* buffer, size_t size);
// The whole error text; empty for a null pointer.
std::string errorText(Mp3Engine* engine);

int openFile(Mp3Engine* engine, const char* path, int32_t bufferMs, uint32_t seekOffset,
             uint32_t size);
int openStream(Mp3Engine* engine, int32_t copy, int32_t managed, const void* data, uint32_t size,
               int32_t bufferMs);
int pushDataToStream(Mp3Engine* engine, const void* data, uint32_t size);
int play(Mp3Engine* engine);
int stop(Mp3Engine* engine);
int pause(Mp3Engine* engine);
int resume(Mp3Engine* engine);
int getPosition(Mp3Engine* engine, MP3_TIME* time);
int getHeardPosition(Mp3Engine* engine, MP3_TIME* time);
int seek(Mp3Engine* engine, uint32_t format, MP3_TIME* time, uint32_t method);
int getSongLengthHMS(Mp3Engine* engine, MP3_TIME* length);
int getBitrate(Mp3Engine* engine, int32_t average);
int getStatus(Mp3Engine* engine, MP3_STATUS* status);
int setCallbackFunc(Mp3Engine* engine, Mp3Callback callback, uint32_t mask);

} // namespace tolvane::mp3
