// Cost of encoding and decoding the message payloads the client handles
// most: the launch request's URI, a list of texts, and the player's media
// record. One iteration is one message; bytes processed are payload bytes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kesu/ipc/IPCMessagePlayerMediaInfo.h"
#include "kesu/ipc/IPCValueMessages.h"

namespace {

std::string uri100() {
    std::string uri = "http://media.box.local/channels/";
    while (uri.size() < 100) uri += static_cast<char>('a' + uri.size() % 26);
    return uri;
}

std::vector<std::string> strings100x32() {
    std::vector<std::string> strings;
    for (int i = 0; i < 100; ++i) strings.emplace_back(32, static_cast<char>('A' + i % 26));
    return strings;
}

IPCJSPlayerMediaInfo mediaInfo8Streams() {
    IPCJSPlayerMediaInfo info;
    info.text = "http://media.box.local/vod/movie.ts";
    info.flag = true;
    info.value = 5400000;
    for (uint32_t i = 0; i < 8; ++i) {
        IPCJSPlayerMediaInfo::Stream stream;
        stream.number1 = i;
        stream.number2 = 0x1B + i;
        stream.number3 = 256 + i;
        stream.text1 = i < 2 ? "video" : "audio";
        stream.text2 = "eng";
        info.streams.push_back(stream);
    }
    return info;
}

template <class Message>
void Encode(benchmark::State& state, Message message) {
    for (auto _ : state) {
        message.serialize();
        benchmark::DoNotOptimize(message.messageStruct.data.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(message.messageStruct.data.size()));
}

template <class Message>
void Decode(benchmark::State& state, Message message) {
    message.serialize();
    Message received(message.messageStruct);
    for (auto _ : state) {
        received.unserialize();
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(received.messageStruct.data.size()));
}

}  // namespace

BENCHMARK_CAPTURE(Encode, Uri, IPCMessageSimpleString(IPC_MSG_LAUNCH_URI, uri100()));
BENCHMARK_CAPTURE(Decode, Uri, IPCMessageSimpleString(IPC_MSG_LAUNCH_URI, uri100()));
BENCHMARK_CAPTURE(Encode, StringArray, IPCMessageStringArray(IPC_MSG_STRING_ARRAY_19, strings100x32()));
BENCHMARK_CAPTURE(Decode, StringArray, IPCMessageStringArray(IPC_MSG_STRING_ARRAY_19, strings100x32()));
BENCHMARK_CAPTURE(Encode, MediaInfo, IPCMessagePlayerMediaInfo(IPC_MSG_PLAYER_MEDIA_INFO, mediaInfo8Streams()));
BENCHMARK_CAPTURE(Decode, MediaInfo, IPCMessagePlayerMediaInfo(IPC_MSG_PLAYER_MEDIA_INFO, mediaInfo8Streams()));
