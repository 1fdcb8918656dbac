// Written by hand: libjpeg decodes every scan it reads, in order (its
// buffered-image mode too), and libvips has no way to leave scans out; only a
// file without its AC scans spares their decoding. The checks below are those
// libjpeg makes of a progressive scan sequence (jdphuff.c), so that a file it
// would warn about, or refuse, is left to it.
#include "imaging/dcscans.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace imaging {

namespace {

constexpr size_t none = std::string_view::npos;

// One scan header: the frame components it codes, its spectral band and its
// successive-approximation bit positions.
struct Scan {
    std::vector<size_t> components;
    int ss = 0, se = 0, ah = 0, al = 0;
};

uint8_t byteAt(std::string_view s, size_t i) {
    return uint8_t(s[i]);
}

bool isFrameHeader(uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

struct Component {
    int id = 0, h = 1, v = 1;  // sampling factors
    bool dcOnly = true;        // read at 1/8 from its DC coefficients alone
};

// At 1/8 libjpeg gives a subsampled component a larger inverse transform
// rather than upsampling it (jdmaster.c): a component sampled at half the
// largest factor both ways (the chroma of 4:2:0) is transformed 2x2, which
// reads AC coefficients. Only a 1x1 transform reads the DC alone.
void markDcOnly(std::vector<Component>& components) {
    int hmax = 1, vmax = 1;
    for (const Component& c : components)
        hmax = std::max(hmax, c.h), vmax = std::max(vmax, c.v);
    for (Component& c : components)
        c.dcOnly = hmax % (2 * c.h) != 0 || vmax % (2 * c.v) != 0;
}

// SOF2's body: 8-bit samples, a size, one to four components.
bool readFrame(std::string_view body, DcScans& out, std::vector<Component>& components) {
    if (body.size() < 6 || byteAt(body, 0) != 8) return false;
    out.height = byteAt(body, 1) << 8 | byteAt(body, 2);
    out.width = byteAt(body, 3) << 8 | byteAt(body, 4);
    const size_t count = byteAt(body, 5);
    if (out.height == 0 || out.width == 0 || count < 1 || count > 4 || body.size() != 6 + 3 * count)
        return false;
    for (size_t c = 0; c < count; c++) {
        Component k{byteAt(body, 6 + 3 * c), byteAt(body, 7 + 3 * c) >> 4,
                    byteAt(body, 7 + 3 * c) & 15};
        if (k.h < 1 || k.h > 4 || k.v < 1 || k.v > 4) return false;
        components.push_back(k);
    }
    markDcOnly(components);
    return true;
}

// Entropy-coded bits, first bit highest, with 0xFF bytes stuffed.
class BitWriter {
  public:
    explicit BitWriter(std::string& out) : out_(out) {}
    void put(uint32_t bits, int count) {
        for (int i = count - 1; i >= 0; i--) {
            byte_ = (byte_ << 1) | ((bits >> i) & 1);
            if (++filled_ == 8) flush();
        }
    }
    // Pads the last byte with ones.
    void finish() {
        while (filled_ != 0)
            put(1, 1);
    }

  private:
    void flush() {
        out_.push_back(char(byte_));
        if (byte_ == 0xFF) out_.push_back('\0');
        byte_ = 0;
        filled_ = 0;
    }
    std::string& out_;
    uint32_t byte_ = 0;
    int filled_ = 0;
};

// One scan per component read from its DC alone, coding all its AC
// coefficients as zero and fully known. With them the decoder sees a complete file and applies no
// block smoothing, which with no AC coefficient known at all would also alter the DC values
// (libjpeg-turbo 2.1); at 1/8 the zeros themselves are never read.
void appendZeroAcScans(std::string& out, const std::vector<Component>& components, long long width,
                       long long height) {
    static const unsigned char noRestarts[] = {0xFF, 0xDD, 0x00, 0x04, 0x00, 0x00};
    // AC table 0: the fifteen end-of-band run symbols (0x00, 0x10, ... 0xE0),
    // four bits each, the run's length r coded as itself.
    unsigned char table[5 + 16 + 15] = {0xFF, 0xC4, 0x00, 0x22, 0x10};
    table[5 + 3] = 15;
    for (int r = 0; r < 15; r++)
        table[5 + 16 + r] = static_cast<unsigned char>(r << 4);
    out.append(reinterpret_cast<const char*>(noRestarts), sizeof noRestarts);
    out.append(reinterpret_cast<const char*>(table), sizeof table);
    int hmax = 1, vmax = 1;
    for (const Component& c : components)
        hmax = std::max(hmax, c.h), vmax = std::max(vmax, c.v);
    for (const Component& c : components) {
        if (!c.dcOnly) continue;
        // The component's blocks, as libjpeg counts them for a one-component scan.
        long long blocks = ((width * c.h + 8 * hmax - 1) / (8 * hmax)) *
                           ((height * c.v + 8 * vmax - 1) / (8 * vmax));
        const unsigned char header[] = {
            0xFF, 0xDA, 0x00, 0x08, 0x01, static_cast<unsigned char>(c.id), 0x00, 0x01, 0x3F, 0x00};
        out.append(reinterpret_cast<const char*>(header), sizeof header);
        BitWriter bits(out);
        while (blocks > 0) {
            const long long run = std::min(blocks, 32767LL);  // the longest run a symbol codes
            int r = 0;
            while ((2LL << r) <= run)
                r++;
            bits.put(uint32_t(r), 4);
            bits.put(uint32_t(run - (1LL << r)), r);
            blocks -= run;
        }
        bits.finish();
    }
}

bool readScan(std::string_view body, const std::vector<Component>& ids, Scan& scan) {
    if (body.empty()) return false;
    const size_t count = byteAt(body, 0);
    if (count < 1 || count > 4 || body.size() != 4 + 2 * count) return false;
    for (size_t k = 0; k < count; k++) {
        int id = byteAt(body, 1 + 2 * k);
        size_t c = 0;
        while (c < ids.size() && ids[c].id != id)
            c++;
        if (c == ids.size()) return false;
        scan.components.push_back(c);
    }
    scan.ss = byteAt(body, 1 + 2 * count);
    scan.se = byteAt(body, 2 + 2 * count);
    scan.ah = byteAt(body, 3 + 2 * count) >> 4;
    scan.al = byteAt(body, 3 + 2 * count) & 15;
    return true;
}

// Where a scan's entropy-coded data ends: the first 0xFF that is neither a
// stuffed zero nor a restart marker. `none` when the file ends first.
size_t entropyEnd(std::string_view f, size_t at) {
    for (;;) {
        const void* found =
            at < f.size() ? std::memchr(f.data() + at, 0xFF, f.size() - at) : nullptr;
        if (!found) return none;
        at = size_t(static_cast<const char*>(found) - f.data());
        if (at + 1 >= f.size()) return none;
        const uint8_t next = byteAt(f, at + 1);
        if (next != 0x00 && (next < 0xD0 || next > 0xD7)) return at;
        at += 2;
    }
}

// Applies a scan to the bit positions known per component and coefficient
// (-1: not coded yet). False where libjpeg would stop or warn.
bool progress(const Scan& s, std::vector<std::array<int, 64>>& bits) {
    const bool dc = s.ss == 0;
    if (dc ? s.se != 0 : (s.ss > s.se || s.se > 63 || s.components.size() != 1)) return false;
    if ((s.ah != 0 && s.al != s.ah - 1) || s.al > 13) return false;
    for (size_t c : s.components) {
        std::array<int, 64>& known = bits[c];
        if (!dc && known[0] < 0) return false;
        for (int k = s.ss; k <= s.se; k++) {
            if (s.ah != (known[size_t(k)] < 0 ? 0 : known[size_t(k)])) return false;
            known[size_t(k)] = s.al;
        }
    }
    return true;
}

// Whether every coefficient of every component is known to its last bit. The
// decoder smooths the blocks of a file that leaves any of the first AC
// coefficients out or unrefined, and that smoothing reaches the DC values;
// the zero scans would switch it off, so such a file is not reduced.
bool allComplete(const std::vector<std::array<int, 64>>& bits) {
    for (const auto& known : bits)
        for (int bit : known)
            if (bit != 0) return false;
    return !bits.empty();
}

// The walk over the file's segments and scans.
class Walk {
  public:
    explicit Walk(std::string_view f) : f_(f) {}
    std::optional<DcScans> run();

  private:
    bool segment(uint8_t marker, std::string_view whole, std::string_view body);
    bool scan(std::string_view whole, std::string_view body);

    std::string_view f_;
    size_t at_ = 2;
    DcScans out_;
    std::vector<Component> ids_;
    std::vector<std::array<int, 64>> bits_;
};

std::optional<DcScans> Walk::run() {
    if (f_.size() < 4 || byteAt(f_, 0) != 0xFF || byteAt(f_, 1) != 0xD8) return std::nullopt;
    out_.jpeg.reserve(f_.size() / 4);
    out_.jpeg.append(f_.data(), 2);
    for (;;) {
        if (at_ >= f_.size() || byteAt(f_, at_) != 0xFF) return std::nullopt;
        while (at_ < f_.size() && byteAt(f_, at_) == 0xFF)
            at_++;  // fill bytes
        if (at_ >= f_.size()) return std::nullopt;
        const uint8_t marker = byteAt(f_, at_++);
        if (marker == 0xD9) break;
        if (at_ + 2 > f_.size()) return std::nullopt;
        if (marker == 0x00 || marker == 0x01 || marker == 0xD8 || marker == 0xDC ||
            (marker >= 0xD0 && marker <= 0xD7))
            return std::nullopt;  // out of place, or a height given after the scan (DNL)
        const size_t length = size_t(byteAt(f_, at_)) << 8 | byteAt(f_, at_ + 1);
        if (length < 2 || at_ + length > f_.size()) return std::nullopt;
        std::string_view whole = f_.substr(at_ - 2, length + 2),
                         body = f_.substr(at_ + 2, length - 2);
        at_ += length;
        if (!segment(marker, whole, body)) return std::nullopt;
    }
    if (!allComplete(bits_)) return std::nullopt;
    appendZeroAcScans(out_.jpeg, ids_, out_.width, out_.height);
    out_.jpeg.push_back(char(0xFF));
    out_.jpeg.push_back(char(0xD9));
    std::optional<DcScans> done(std::in_place);
    done->jpeg.swap(out_.jpeg);
    done->width = out_.width;
    done->height = out_.height;
    return done;
}

bool Walk::segment(uint8_t marker, std::string_view whole, std::string_view body) {
    if (marker == 0xDA) return scan(whole, body);
    if (isFrameHeader(marker)) {
        if (marker != 0xC2 || !ids_.empty() || !readFrame(body, out_, ids_)) return false;
        std::array<int, 64> unknown;
        unknown.fill(-1);
        bits_.assign(ids_.size(), unknown);
    }
    // Tables and every other segment, in their order.
    out_.jpeg += whole;
    return true;
}

bool Walk::scan(std::string_view whole, std::string_view body) {
    Scan s;
    if (ids_.empty() || !readScan(body, ids_, s)) return false;
    const size_t end = entropyEnd(f_, at_);
    if (end == none || !progress(s, bits_)) return false;
    // An AC scan codes one component.
    if (s.ss == 0 || !ids_[s.components[0]].dcOnly) {
        out_.jpeg += whole;
        out_.jpeg += f_.substr(at_, end - at_);
    }
    at_ = end;
    return true;
}

}  // namespace

std::optional<DcScans> dcScansOnly(std::string_view file) {
    Walk walk(file);
    return walk.run();
}

bool decodedAtEighth(long long width, long long height, int size) {
    return size > 0 && double(std::min(width, height)) / size >= 16;
}

}  // namespace imaging
