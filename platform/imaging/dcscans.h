// For this folder and its tests: a progressive JPEG reduced to what its 1/8
// scale picture is made of.
//
// At the 1/8 scale libjpeg's inverse transform of a block reads its DC
// coefficient alone, except in a component it scales up by transforming
// instead of upsampling (the chroma of 4:2:0), and in a progressive JPEG the
// DC coefficients are complete once their first scan and every refinement
// of it are in. The file without the AC scans of the components read from
// their DC therefore decodes at that scale to the very same pixels, while
// its entropy decoding shrinks to a fraction.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace imaging {

struct DcScans {
    std::string jpeg;  // the reduced file
    long long width = 0, height = 0;
};

// `file` rewritten without the AC scans of the components read from their
// DC alone (tables, application segments, the frame header and every other
// scan kept in their order), then one scan per such component coding its AC
// coefficients as zero (so that the decoder applies no block smoothing, as
// for the whole file), and an end marker. Only for a progressive Huffman-coded JPEG (SOF2)
// whose every segment and scan is in place up to its end marker, whose
// scans follow one another as libjpeg accepts without a warning and code
// every coefficient to its last bit; empty for
// anything else, which then goes the whole way through the decoder (and
// gets its verdict on a damaged file).
std::optional<DcScans> dcScansOnly(std::string_view file);

// Whether libvips's thumbnail of a width x height JPEG squashed to size x
// size decodes it at 1/8 (a shrink of 16 or more on both axes: it leaves at
// least a factor of two to its own resize).
bool decodedAtEighth(long long width, long long height, int size);

}  // namespace imaging
