// FFmpeg decoder adapter: plays every file FFmpeg can demux through the
// reader contract of music_file.h. The first audio stream of the file is
// decoded (raw PCM is passed through as stored) and delivered as whole
// two-channel interleaved frames: front left and front right of a
// multichannel stream, a mono channel on both sides.
#pragma once

#include "music_file.h"

struct AVFormatContext;

// Once at start-up, before any other call: quiets FFmpeg's own log, whose
// per-frame complaints about damaged files would break the position line.
void ffmpeg_init();

// Opens file_name with FFmpeg. Returns 0 with the record describing the
// delivered stream (sample_format, bytes_per_sample, format with channels 2,
// total_bytes, remaining_bytes), or -1 with nothing left open: silently when
// FFmpeg does not know the file or it has no audio stream, with a warning
// when its parameters are unusable or its decoder cannot be used (then with
// the reason in the record's refusal, as audio FFmpeg knows). A raw PCM
// encoding the players cannot take (mu-law, A-law, ...) is decoded.
// total_bytes is 0 when the length is unknown; remaining_bytes is at least
// one frame, as the end of the file is told by ffmpeg_read alone. The caller
// must call ffmpeg_close after a 0 result. Everything the adapter keeps for
// the file, its read state too, is in the record: open files are read
// independently of each other.
int ffmpeg_open(music_file* file);

// ffmpeg_open on a demuxer the caller has opened with avformat_open_input
// (for instance on its own AVIOContext, which the caller frees after
// ffmpeg_close) and whose stream information it has read. The adapter owns
// the context from here on, also on failure.
int ffmpeg_open_input(music_file* file, AVFormatContext* input);

// Fills dest with at most max_bytes of whole delivered frames and returns
// the bytes written, or -1 at the end of the audio and when max_bytes is
// smaller than one frame. A frame split by max_bytes is delivered by the
// next call. Packets and frames that cannot be decoded are skipped; at the
// end one warning names a damaged file and where the damage began, or a
// file of which nothing could be decoded.
int ffmpeg_read(music_file* file, uint8_t* dest, int max_bytes);

// Releases the read state, the packet, the decoded frame, the decoder and
// the demuxer of the record and clears their pointers. Safe on a record that
// holds none.
void ffmpeg_close(music_file* file);

// On a file just opened: delivery goes on from delivered frame `frame`, as
// exactly as the file's timestamps tell (decoded samples before it are
// dropped). False when the file is known to end before it or cannot seek.
bool ffmpeg_seek(music_file* file, int64_t frame);
