// The numbers the players' streams are built from, each named once.
#pragma once

#include <cstdint>

// 8 x 44.1 kHz: the rate the filter oversamples to, the frame rate of every
// stream brisa sends, and the unit of played_count (1/352800 s), whatever the
// stream's own rate.
constexpr int32_t kOversampledRate = 352800;

// One-bit samples per second of brisa's streams: 32 a frame (native DSD),
// 11.2896 MHz. DoP carries half as many.
constexpr int32_t kNativeDsdBitRate = 32 * kOversampledRate;

// The ring buffer of both players when -B gives no size, and the least -B may give.
constexpr int32_t kDefaultBufferBytes = 1572864;
// The most -B may give (256 MiB): the board's 32-bit address space must
// still find it in one piece.
constexpr int32_t kMaximumBufferBytes = 256 * 1048576;

// DSD bytes that stand for silence, named by what they do. Each holds four
// ones and four zeros (or alternates), so none carries DC.
//
// Completes the last partial 8-byte group of a DSD file (the readers), and
// replaces a channel cut from brisa's DoP.
constexpr uint8_t kDsdPaddingByte = 0x96;
// brisa's lead-in before the music: alternating bits.
constexpr uint8_t kDsdIdleByte = 0xAA;
// lumen's native DSD lead-in, and what completes a read shorter than a group.
constexpr uint8_t kDsdQuietByte = 0x69;
// A channel cut from lumen's DoP.
constexpr uint8_t kDopSilenceByte = 0x55;
