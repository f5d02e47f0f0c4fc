#ifndef INFLATE_H
#define INFLATE_H

// The gzip members that tagpick reads are inflated through this interface
// alone.  inflate_isal.cpp serves it with ISA-L, the fastest; where a build
// cannot have ISA-L (a static or cross build), inflate_zlib.cpp serves it
// with zlib.  Each member's header and trailer (CRC-32 and length) are
// checked by the library.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct Inflater;
struct InflaterFree {
	void operator()(Inflater *z) const;
};
using InflaterPtr = std::unique_ptr<Inflater, InflaterFree>;

enum class Inflated { going, member_end, corrupt };

// An inflater, ready for a member.  Throws std::bad_alloc.
InflaterPtr make_inflater();
// Makes it ready for the next member, whose header has been read: what it
// is given next starts with the member's deflate data.
void start_member(Inflater &z);
// Inflates from [in, in_end) into [out, out_end), moving in and out past
// what was taken and made.  member_end when the member's trailer has been
// read and checked, corrupt when the data is not a valid member (then
// inflate_error says why); going otherwise, when it wants more input or
// more room.
Inflated inflate_some(Inflater &z, const unsigned char *&in,
    const unsigned char *in_end, unsigned char *&out, unsigned char *out_end);
const char *inflate_error(const Inflater &z);
// The CRC-32 of gzip (and zlib's crc32) over [p, p + n), going on from crc:
// 0 to start.
std::uint32_t crc32_update(std::uint32_t crc, const unsigned char *p,
    std::size_t n);
// The library and its version, for --version.
std::string inflate_library();

#endif
