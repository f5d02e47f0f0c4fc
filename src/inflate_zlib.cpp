// Inflates gzip members with zlib, where ISA-L cannot be had.
#include "inflate.h"

#include <new>

#include <zlib.h>

struct Inflater {
	z_stream stream;
	const char *error;
};

void InflaterFree::operator()(Inflater *z) const
{
	inflateEnd(&z->stream);
	delete z;
}

InflaterPtr make_inflater()
{
	auto *z = new Inflater{};
	// 15 + 16: the largest window, and a gzip header and trailer only.
	if (inflateInit2(&z->stream, 15 + 16) != Z_OK) {
		delete z;
		throw std::bad_alloc();
	}
	return InflaterPtr(z);
}

// zlib reads a gzip trailer only after a gzip header: each member starts
// with the smallest header, of no optional field, in place of the one
// that tagpick has read.
void start_member(Inflater &z)
{
	static const unsigned char plain_header[] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 0xff};
	inflateReset(&z.stream);
	unsigned char none;
	z.stream.next_in = const_cast<Bytef *>(plain_header);
	z.stream.avail_in = sizeof plain_header;
	z.stream.next_out = &none;
	z.stream.avail_out = 0;
	inflate(&z.stream, Z_NO_FLUSH);
	z.error = nullptr;
}

Inflated inflate_some(Inflater &z, const unsigned char *&in,
    const unsigned char *in_end, unsigned char *&out, unsigned char *out_end)
{
	z_stream &s = z.stream;
	s.next_in = const_cast<Bytef *>(in);
	s.avail_in = static_cast<uInt>(in_end - in);
	s.next_out = out;
	s.avail_out = static_cast<uInt>(out_end - out);
	int r = inflate(&s, Z_NO_FLUSH);
	in = s.next_in;
	out = s.next_out;
	if (r == Z_STREAM_END)
		return Inflated::member_end;
	if (r == Z_OK || r == Z_BUF_ERROR)
		return Inflated::going;
	z.error = s.msg ? s.msg : "invalid gzip data";
	return Inflated::corrupt;
}

const char *inflate_error(const Inflater &z)
{
	return z.error ? z.error : "invalid gzip data";
}

std::string inflate_library()
{
	return std::string("zlib ") + zlibVersion();
}

std::uint32_t crc32_update(std::uint32_t crc, const unsigned char *p,
    std::size_t n)
{
	return static_cast<std::uint32_t>(crc32_z(crc, p, n));
}
