// What the console and a test board exchange: the bytes with a meaning of
// their own, and the throughput tests' sizes. The console, the simulator and
// the benchmarks all take them from here.
#ifndef QUORVEL_PROTOCOL_H
#define QUORVEL_PROTOCOL_H

#include <cstddef>

constexpr unsigned char HeartbeatByte = '^';  // once a second while on; no answer
constexpr unsigned char AnnounceByte = '%';   // an upload follows
constexpr unsigned char RequestByte = '*';    // a download is wanted
constexpr unsigned char DoneByte = '*';       // the upload has arrived
constexpr std::size_t TestVolume = 262144;    // bytes each throughput test moves
constexpr std::size_t UploadBlock = 4096;     // bytes per write of the upload

#endif
