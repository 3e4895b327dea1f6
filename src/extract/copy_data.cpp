// QUENLOR_PORTABLE builds leave the byte shuffles out, so the portable gather can be checked on
// a machine that has them.
#if defined(__x86_64__) && !defined(QUENLOR_PORTABLE)
#define QUENLOR_SHUFFLES 1
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "extract/extract.h"
#include "fail.h"
#include "progress.h"
#include "system/system.h"
#include "wav/wav.h"

namespace {

// Copies the 2-byte sample at `skip` of each of `frames` frames into out; the compiler
// vectorizes this loop.
void Gather2(const unsigned char* block, size_t frames, size_t skip, unsigned char* out) {
    for (size_t k = 0; k < frames; ++k) std::memcpy(out + 2 * k, block + 4 * k + skip, 2);
}

// Copies the sample of WIDTH bytes at `skip` of each of `frames` frames of `frame` bytes into out:
// a take of any channels and width, each sample one fixed-size move.
template <size_t WIDTH>
void GatherAny(const unsigned char* block, size_t frames, size_t frame, size_t skip,
               unsigned char* out) {
    for (size_t k = 0; k < frames; ++k)
        std::memcpy(out + WIDTH * k, block + frame * k + skip, WIDTH);
}

// One channel's samples of a piece of frames: the stereo widths by their tuned gathers.
void Gather(const unsigned char* block, size_t frames, size_t frame, size_t skip, size_t sample,
            unsigned char* out) {
    if (frame == 4 && sample == 2) return Gather2(block, frames, skip, out);
    if (frame == 6 && sample == 3) return Gather3Fastest(block, frames, skip, out);
    switch (sample) {
        case 1:
            return GatherAny<1>(block, frames, frame, skip, out);
        case 2:
            return GatherAny<2>(block, frames, frame, skip, out);
        case 3:
            return GatherAny<3>(block, frames, frame, skip, out);
        case 4:
            return GatherAny<4>(block, frames, frame, skip, out);
        default:
            return GatherAny<8>(block, frames, frame, skip, out);
    }
}

#if defined(QUENLOR_SHUFFLES)
// Byte shuffles take the 24 sample bytes of 8 frames out of their 48 bytes at once. Mask m of
// output vector v picks, from input vector l, the byte that output byte j needs (-1: none).
struct ShuffleMasks {
    signed char m[2][3][16];
};

constexpr ShuffleMasks MakeMasks() {
    ShuffleMasks masks{};
    for (int v = 0; v < 2; ++v) {
        for (int l = 0; l < 3; ++l) {
            for (int j = 0; j < 16; ++j) {
                const int out = 16 * v + j;
                const int in = 6 * (out / 3) + out % 3;
                masks.m[v][l][j] =
                    out < 24 && in / 16 == l ? static_cast<signed char>(in % 16) : -1;
            }
        }
    }
    return masks;
}

constexpr ShuffleMasks MASKS = MakeMasks();

__attribute__((target("ssse3"))) void Gather3Shuffled(const unsigned char* block, size_t frames,
                                                      size_t skip, unsigned char* out) {
    const auto mask = [](int v, int l) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(MASKS.m[v][l]));
    };
    const __m128i a0 = mask(0, 0), b0 = mask(0, 1), b1 = mask(1, 1), c1 = mask(1, 2);
    size_t k = 0;
    for (; k + 8 <= frames; k += 8) {
        const auto* in = reinterpret_cast<const __m128i*>(block + 6 * k + skip);
        const __m128i a = _mm_loadu_si128(in), b = _mm_loadu_si128(in + 1),
                      c = _mm_loadu_si128(in + 2);
        const __m128i lo = _mm_or_si128(_mm_shuffle_epi8(a, a0), _mm_shuffle_epi8(b, b0));
        const __m128i hi = _mm_or_si128(_mm_shuffle_epi8(b, b1), _mm_shuffle_epi8(c, c1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 3 * k), lo);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 3 * k + 16), hi);
    }
    Gather3(block + 6 * k, frames - k, skip, out + 3 * k);
}
#endif

// The digest's loop, built once for any processor and once for AVX2, whose 256-bit adds take
// the 32-bit words' widening to 64-bit sums in their stride.
inline __attribute__((always_inline)) void DigestLoop(const unsigned char* p, size_t n,
                                                      Digest* digest) {
    // The sums are kept in locals: stored through digest, they could alias the bytes, and every
    // step would go through memory.
    uint64_t a[DIGEST_LANES], b[DIGEST_LANES];
    std::memcpy(a, digest->a, sizeof a);
    std::memcpy(b, digest->b, sizeof b);
    size_t k = 0;
    for (; k + 4 * DIGEST_LANES <= n; k += 4 * DIGEST_LANES) {
        for (size_t lane = 0; lane < DIGEST_LANES; ++lane) {
            uint32_t word;
            std::memcpy(&word, p + k + 4 * lane, 4);
            a[lane] += word;
            b[lane] += a[lane];
        }
    }
    for (; k < n; ++k) {
        a[0] += p[k];
        b[0] += a[0];
    }
    std::memcpy(digest->a, a, sizeof a);
    std::memcpy(digest->b, b, sizeof b);
}

#if defined(QUENLOR_SHUFFLES)
__attribute__((target("avx2"))) void DigestAvx2(const unsigned char* p, size_t n, Digest* digest) {
    DigestLoop(p, n, digest);
}
#endif

// The output is flushed in steps of at least FLUSH_STEP bytes while the copy goes on; the copy
// waits for a flush when FLUSH_LAG bytes are written after what it covers.
constexpr uint64_t FLUSH_STEP = 32 << 20, FLUSH_LAG = 64 << 20;

// Frames gathered and digested at a time: 16 or 24 KiB of a stereo take, which stay in the
// processor's cache from the one to the other.
constexpr size_t PIECE_FRAMES = 4096;
// The most bytes a block read holds, so that a take of many wide channels reads no more at once
// than a stereo one does (1.5 MiB at most).
constexpr size_t BLOCK_BYTES = 6 * BLOCK_FRAMES;

// Buffer which (0 the blocks read, 1 the samples gathered) of at least size bytes, kept for the
// next copy and left unfilled: each copy fills what it reads. Its slack past the last sample,
// which the gathers may read, is zeros.
unsigned char* Buffer(int which, size_t size) {
    static std::unique_ptr<unsigned char[]> buffers[2];
    static size_t sizes[2];
    if (sizes[which] < size) {
        buffers[which].reset(new unsigned char[size]);
        sizes[which] = size;
    }
    std::memset(buffers[which].get() + size - SLACK, 0, SLACK);
    return buffers[which].get();
}

// What is wrong with the input, open as `in` and found at path now, against the file the probe
// read: nothing (nullptr), a change (another file, or the same one written, grown or cut, or no
// file left at path), or a failure to read its attributes.
const char* Difference(std::FILE* in, const char* path, const FileId& identity) {
    FileId open_now{}, named_now{};
    bool missing = false;
    if (!StreamIdentity(in, &open_now)) return MSG_READ;
    if (!PathIdentity(path, &named_now, &missing)) return missing ? MSG_CHANGED : MSG_READ;
    return Unchanged(open_now, identity) && Unchanged(named_now, identity) ? nullptr : MSG_CHANGED;
}

// Closes both streams, then ends the process with message: the temporary is closed before the
// failure removes it, as a FUSE file system can't remove an open file on a full volume.
[[noreturn]] void Stop(std::FILE* in, std::FILE* out, const char* message) {
    if (in != nullptr) std::fclose(in);
    if (out != nullptr) std::fclose(out);
    Fail("%s", 2, message);
}

}  // namespace

// Each sample moves as one 8-byte load and store, whose 5 extra bytes the next store
// overwrites: a plain byte move, so the machine's byte order plays no part.
void Gather3(const unsigned char* block, size_t frames, size_t skip, unsigned char* out) {
    for (size_t k = 0; k < frames; ++k) {
        uint64_t v;
        std::memcpy(&v, block + 6 * k + skip, 8);
        std::memcpy(out + 3 * k, &v, 8);
    }
}

void Gather3Fastest(const unsigned char* block, size_t frames, size_t skip, unsigned char* out) {
#if defined(QUENLOR_SHUFFLES)
    if (__builtin_cpu_supports("ssse3")) return Gather3Shuffled(block, frames, skip, out);
#endif
    Gather3(block, frames, skip, out);
}

void DigestBytesPortable(const unsigned char* p, size_t n, Digest* digest) {
    DigestLoop(p, n, digest);
}

void DigestBytes(const unsigned char* p, size_t n, Digest* digest) {
#if defined(QUENLOR_SHUFFLES)
    if (__builtin_cpu_supports("avx2")) return DigestAvx2(p, n, digest);
#endif
    DigestLoop(p, n, digest);
}

void COPY_DATA(const char* in_path, int temp, int64_t data_offset, int channel, int channels,
               uint32_t bits_per_sample, uint32_t frames, const FileId& identity,
               uint64_t header_size, Digest* digest) {
    std::FILE* in = OpenForReading(in_path);
    std::FILE* out = ReopenTemporary(temp);
    if (in == nullptr || out == nullptr) Stop(in, out, MSG_OPEN);
    if (const char* difference = Difference(in, in_path, identity)) Stop(in, out, difference);
    // Blocks are large, so they go straight between the files and the buffers below: a stream
    // buffer would only copy every byte once more.
    std::setvbuf(in, nullptr, _IONBF, 0);
    std::setvbuf(out, nullptr, _IONBF, 0);
    if (!SeekTo(in, static_cast<uint64_t>(data_offset))) Stop(in, out, MSG_READ);

    const size_t sample = bits_per_sample / 8;
    const size_t frame = static_cast<size_t>(channels) * sample;
    const size_t skip = static_cast<size_t>(channel) * sample;
    const uint32_t most = std::max<uint32_t>(
        1, std::min({frames, std::clamp(frames / 8, MIN_BLOCK_FRAMES, BLOCK_FRAMES),
                     static_cast<uint32_t>(BLOCK_BYTES / frame)}));
    unsigned char* const block = Buffer(0, most * frame + SLACK);
    unsigned char* const samples = Buffer(1, most * sample + SLACK);
    Digest read{};
    // The output's end, the end of what its last flush covers, and of what has left the cache.
    uint64_t written = header_size, flushed = header_size, dropped = header_size;
    for (uint32_t left = frames; left > 0;) {
        const size_t n = std::min(left, most);
        // The input held these frames when it was probed: fewer now means it changed, or could
        // not be read.
        if (std::fread(block, frame, n, in) != n) {
            const char* difference = Difference(in, in_path, identity);
            Stop(in, out, difference != nullptr ? difference : MSG_READ);
        }
        // The samples, not only the attributes, must be the same for both channels: a rewrite in
        // place that keeps size and times shows in the digest. It reads each piece of the block
        // right after the gather, while the piece is still in the processor's cache.
        for (size_t done = 0; done < n; done += PIECE_FRAMES) {
            const size_t m = std::min(n - done, PIECE_FRAMES);
            Gather(block + done * frame, m, frame, skip, sample, samples + done * sample);
            DigestBytes(block + done * frame, m * frame, &read);
        }
        if (std::fwrite(samples, sample, n, out) != n) Stop(in, out, MSG_WRITE);
        written += n * sample;
        PROGRESS(n * sample);
        // A disk that keeps a cache of its own can take as long to flush it as the copy takes to
        // fill it, so the two go on side by side: a step is flushed (written back first) in
        // the background while the next is copied, and then leaves the cache, so that the input
        // stays there for the second copy. The flush before the rename waits only for the last
        // step. Where no flush runs in the background, a step is written back and waited for.
        if (written - flushed >= FLUSH_STEP) {
            const Flush flush = FlushProgress(written - flushed >= FLUSH_LAG);
            if (flush == Flush::FAILED) Stop(in, out, MSG_WRITE);
            if (flush == Flush::OVER) {
                DropCached(out, dropped, flushed);
                dropped = flushed;
                if (!StartFlush(out) && !WriteBack(out, flushed, written)) {
                    Stop(in, out, MSG_WRITE);
                }
                flushed = written;
            }
        }
        left -= static_cast<uint32_t>(n);
    }
    // A failed flush fails the copy. Each output's last step but the last one's is flushed while
    // the next is copied.
    if (FlushProgress(true) == Flush::FAILED) Stop(in, out, MSG_WRITE);
    DropCached(out, dropped, flushed);
    if (channel + 1 < channels && flushed != header_size) StartFlush(out);
    // The rest goes to the disk now, while the other copy runs or the other output's rest goes:
    // the flushes before the renames then wait for both at once.
    StartWriteBack(out, flushed == header_size ? 0 : flushed, written);
    if (const char* difference = Difference(in, in_path, identity)) Stop(in, out, difference);
    if (channel == 0) *digest = read;
    if (channel > 0 && std::memcmp(&read, digest, sizeof read) != 0) Stop(in, out, MSG_CHANGED);
    // An odd number of sample bytes (8- or 24-bit, odd frame count) ends the data chunk at an odd
    // length: a zero pad byte follows, as in every RIFF chunk.
    const unsigned char pad = 0;
    if (frames % 2 == 1 && sample % 2 == 1 && std::fwrite(&pad, 1, 1, out) != 1) {
        Stop(in, out, MSG_WRITE);
    }
    std::fclose(in);
    if (std::fclose(out) != 0) Fail(MSG_WRITE, 2);
}
