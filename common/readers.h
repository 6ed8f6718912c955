// The readers both players try, in this order: the native ones work on the
// file's stream and know their formats by their magic; FFmpeg comes last,
// for every other format it can decode.
#pragma once

#include "dsf.h"
#include "music_file.h"
#include "wav.h"

inline constexpr music_reader kNativeReaders[] = {
    {wav_open, wav_read, nullptr, kInputWav, true, wav_seek},
    {dff_open, dff_read, nullptr, kInputDsdiff, true, dff_seek},
    {wsd_open, wsd_read, nullptr, kInputWsd, true, wsd_seek},
    {dsf_open, dsf_read, nullptr, kInputDsf, true, dsf_seek},
};

#ifdef PLAYERS_WITH_FFMPEG
#include "ffmpeg_old.h"

inline constexpr music_reader kNativeAndFfmpegReaders[] = {
    kNativeReaders[0],
    kNativeReaders[1],
    kNativeReaders[2],
    kNativeReaders[3],
    {ffmpeg_open, ffmpeg_read, ffmpeg_close, kInputFfmpeg, false, ffmpeg_seek},
};
#endif
