// ZStringStream: a string that is also a standard stream. The stream buffer
// keeps no characters of its own: it writes into and reads from the string's
// buffer, so the string always holds exactly what was written.
#include <algorithm>

#include "zunder/strings.h"

namespace {

// The write position reaching the end of the buffer grows it by this much.
constexpr ZIndex kGrowStep = 10;

ZIndex Clamp(int64_t position, ZIndex length) { return static_cast<ZIndex>(std::clamp<int64_t>(position, 0, length)); }

}  // namespace

// Unbuffered on purpose: every character goes straight to the string, whose
// buffer may move when it grows or separates from another holder.
class ZStringStream::Buffer : public std::streambuf {
 public:
  explicit Buffer(ZStringStream& stream) : writePosition(stream.GetLength()), owner(stream) {}

  ZIndex readPosition = 0;  // reading starts at the beginning
  ZIndex writePosition;     // writing appends to the text

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char character = traits_type::to_char_type(c);
    return Put(&character, 1) == 1 ? c : traits_type::eof();
  }

  std::streamsize xsputn(const char* text, std::streamsize count) override { return Put(text, count); }

  int_type underflow() override {
    if (readPosition >= owner.GetLength()) return traits_type::eof();
    return traits_type::to_int_type(owner.Text()[readPosition]);
  }

  int_type uflow() override {
    const int_type c = underflow();
    if (!traits_type::eq_int_type(c, traits_type::eof())) ++readPosition;
    return c;
  }

  std::streamsize xsgetn(char* text, std::streamsize count) override {
    const ZIndex length = owner.GetLength();
    if (readPosition >= length || count <= 0) return 0;
    const auto taken = static_cast<ZIndex>(std::min<std::streamsize>(count, length - readPosition));
    std::memcpy(text, owner.Text() + readPosition, static_cast<size_t>(taken));
    readPosition += taken;
    return taken;
  }

  std::streamsize showmanyc() override {
    const ZIndex left = owner.GetLength() - readPosition;
    return left > 0 ? left : -1;
  }

  pos_type seekoff(off_type offset, std::ios_base::seekdir direction, std::ios_base::openmode which) override {
    const int origin = direction == std::ios_base::beg ? 0 : (direction == std::ios_base::cur ? 1 : 2);
    const int mode = ((which & std::ios_base::in) ? SeekRead : 0) | ((which & std::ios_base::out) ? SeekWrite : 0);
    if (mode == 0) return pos_type(off_type(-1));
    const int64_t clamped = std::clamp<int64_t>(offset, -ZToEnd, ZToEnd);
    return pos_type(owner.Seek(static_cast<ZIndex>(clamped), origin, mode));
  }

  pos_type seekpos(pos_type position, std::ios_base::openmode which) override {
    return seekoff(off_type(position), std::ios_base::beg, which);
  }

 private:
  // Writes count bytes at the write position, overwriting what is there and
  // extending the text at its end.
  std::streamsize Put(const char* text, std::streamsize count) {
    if (count <= 0) return 0;
    const ZIndex length = owner.GetLength();
    writePosition = std::min(writePosition, length);  // the text may have shrunk meanwhile
    const int64_t end = int64_t{writePosition} + count;
    if (end >= ZToEnd - kGrowStep) {
      Z_ASSERT_CODE(ZAssertOutOfMemory);
      return 0;
    }
    // Room for the bytes and a terminator; grow in steps of kGrowStep.
    ZIndex size = owner.GetSize();
    while (size < end + 1) size += kGrowStep;
    char* storage = owner.Writable(size);
    if (storage == nullptr) return 0;
    std::memcpy(storage + writePosition, text, static_cast<size_t>(count));
    if (end > length) storage[end] = '\0';
    writePosition = static_cast<ZIndex>(end);
    return count;
  }

  ZStringStream& owner;
};

ZStringStream::ZStringStream() : std::iostream(nullptr), buffer(std::make_unique<Buffer>(*this)) {
  rdbuf(buffer.get());
}

ZStringStream::ZStringStream(const char* text)
    : ZString(text), std::iostream(nullptr), buffer(std::make_unique<Buffer>(*this)) {
  rdbuf(buffer.get());
}

ZStringStream::~ZStringStream() = default;

ZIndex ZStringStream::Seek(ZIndex offset, int origin, int mode) {
  if (origin < 0 || origin > 2 || mode < SeekRead || mode > SeekBoth) {
    Z_ASSERT_CODE(ZAssertInvalidParameter);
    return (mode & SeekWrite) != 0 && (mode & SeekRead) == 0 ? buffer->writePosition : buffer->readPosition;
  }
  const ZIndex length = GetLength();
  auto place = [&](ZIndex current) {
    const int64_t base = origin == 0 ? 0 : (origin == 1 ? current : length);
    return Clamp(base + offset, length);
  };
  if ((mode & SeekRead) != 0) buffer->readPosition = place(buffer->readPosition);
  if ((mode & SeekWrite) != 0) buffer->writePosition = place(buffer->writePosition);
  // A stream that ran into its end can be read again after a seek.
  clear();
  return (mode & SeekRead) != 0 ? buffer->readPosition : buffer->writePosition;
}

ZIndex ZStringStream::GetReadPosition() const { return buffer->readPosition; }

ZIndex ZStringStream::GetWritePosition() const { return buffer->writePosition; }
