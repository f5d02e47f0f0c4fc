// Inflates gzip members with ISA-L (igzip_lib).
#include "inflate.h"

#include <cstdint>
#include <string>

#include <isa-l.h>
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

struct Inflater {
	inflate_state state;
	int error;
};

void InflaterFree::operator()(Inflater *z) const
{
	delete z;
}

InflaterPtr make_inflater()
{
	return InflaterPtr(new Inflater{});
}

void start_member(Inflater &z)
{
	isal_inflate_init(&z.state);
	// Deflate data, then a gzip trailer whose CRC-32 and length are
	// checked.
	z.state.crc_flag = ISAL_GZIP_NO_HDR_VER;
	z.error = ISAL_DECOMP_OK;
}

Inflated inflate_some(Inflater &z, const unsigned char *&in,
    const unsigned char *in_end, unsigned char *&out, unsigned char *out_end)
{
	inflate_state &s = z.state;
	s.next_in = const_cast<std::uint8_t *>(in);
	s.avail_in = static_cast<std::uint32_t>(in_end - in);
	s.next_out = out;
	s.avail_out = static_cast<std::uint32_t>(out_end - out);
	int r = isal_inflate(&s);
	in = s.next_in;
	out = s.next_out;
	if (r != ISAL_DECOMP_OK && r != ISAL_END_INPUT && r != ISAL_OUT_OVERFLOW) {
		z.error = r;
		return Inflated::corrupt;
	}
	return s.block_state == ISAL_BLOCK_FINISH ? Inflated::member_end
						  : Inflated::going;
}

const char *inflate_error(const Inflater &z)
{
	switch (z.error) {
	case ISAL_INVALID_BLOCK:
		return "invalid deflate block";
	case ISAL_INVALID_SYMBOL:
		return "invalid deflate symbol";
	case ISAL_INVALID_LOOKBACK:
		return "invalid distance back";
	case ISAL_INCORRECT_CHECKSUM:
		return "wrong CRC-32 or length in the trailer";
	default:
		return "invalid gzip data";
	}
}

std::string inflate_library()
{
	return "ISA-L " + std::to_string(ISAL_MAJOR_VERSION) + "." +
	    std::to_string(ISAL_MINOR_VERSION) + "." +
	    std::to_string(ISAL_PATCH_VERSION);
}

std::uint32_t crc32_update(std::uint32_t crc, const unsigned char *p,
    std::size_t n)
{
	return crc32_gzip_refl(crc, p, n);
}
