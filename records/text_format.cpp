// The diagnostics formatter. Integer conversions follow printf: the precision is a minimum
// digit count, the width pads with blanks; for strings the precision cuts.
#include "records/text_format.h"

namespace records {
namespace {

/// Appends bytes to a bounded output, silently dropping what does not fit.
class BoundedText {
 public:
  BoundedText(char* out, std::size_t size) noexcept : out_(out), size_(size) {}
  void put(char byte) noexcept {
    if (length_ + 1 < size_) out_[length_++] = byte;
  }
  void put_repeated(char byte, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) put(byte);
  }
  std::size_t finish() noexcept {
    if (size_ > 0) out_[length_] = '\0';
    return length_;
  }

 private:
  char* out_;
  std::size_t size_;
  std::size_t length_ = 0;
};

struct Directive {
  bool left = false;
  std::size_t width = 0;
  bool has_precision = false;
  std::size_t precision = 0;
};

/// Lays `body` (with an optional leading sign) out in the field described by `directive`.
void emit_padded(BoundedText& text, const Directive& directive, const char* sign, const char* body,
                 std::size_t body_length, std::size_t zeros) noexcept {
  std::size_t sign_length = 0;
  while (sign[sign_length] != '\0') ++sign_length;
  const std::size_t total = sign_length + zeros + body_length;
  const std::size_t padding = directive.width > total ? directive.width - total : 0;
  if (!directive.left) text.put_repeated(' ', padding);
  for (std::size_t i = 0; i < sign_length; ++i) text.put(sign[i]);
  text.put_repeated('0', zeros);
  for (std::size_t i = 0; i < body_length; ++i) text.put(body[i]);
  if (directive.left) text.put_repeated(' ', padding);
}

void emit_integer(BoundedText& text, const Directive& directive, std::uint64_t magnitude, bool negative, unsigned base,
                  bool upper) noexcept {
  const char* digits_of = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  char digits[24];
  std::size_t count = 0;
  char reversed[24];
  do {
    reversed[count++] = digits_of[magnitude % base];
    magnitude /= base;
  } while (magnitude != 0);
  for (std::size_t i = 0; i < count; ++i) digits[i] = reversed[count - 1 - i];
  const std::size_t zeros = directive.has_precision && directive.precision > count ? directive.precision - count : 0;
  emit_padded(text, directive, negative ? "-" : "", digits, count, zeros);
}

}  // namespace

std::size_t format_text(char* out, std::size_t out_size, const char* format, std::span<const FormatArg> args) noexcept {
  BoundedText text(out, out_size);
  std::size_t next_arg = 0;
  const auto take = [&]() noexcept { return next_arg < args.size() ? args[next_arg++] : FormatArg{}; };

  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      text.put(*p);
      continue;
    }
    ++p;
    if (*p == '%') {
      text.put('%');
      continue;
    }
    Directive directive;
    if (*p == '-') {
      directive.left = true;
      ++p;
    }
    while (*p >= '0' && *p <= '9') directive.width = directive.width * 10 + static_cast<std::size_t>(*p++ - '0');
    if (*p == '.') {
      directive.has_precision = true;
      ++p;
      while (*p >= '0' && *p <= '9')
        directive.precision = directive.precision * 10 + static_cast<std::size_t>(*p++ - '0');
    }
    while (*p == 'l' || *p == 'h') ++p;
    const FormatArg arg = (*p == '\0') ? FormatArg{} : take();
    switch (*p) {
      case 'd':
      case 'i': {
        const std::int64_t value = arg.kind == FormatArg::Kind::integer ? arg.integer : 0;
        const std::uint64_t magnitude =
            value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
        emit_integer(text, directive, magnitude, value < 0, 10, false);
        break;
      }
      case 'x':
      case 'X': {
        const std::uint64_t value = arg.kind == FormatArg::Kind::integer ? static_cast<std::uint64_t>(arg.integer) : 0;
        emit_integer(text, directive, value, false, 16, *p == 'X');
        break;
      }
      case 's': {
        const char* value = arg.kind == FormatArg::Kind::text && arg.text != nullptr ? arg.text : "";
        std::size_t length = 0;
        while (value[length] != '\0' && (!directive.has_precision || length < directive.precision)) ++length;
        emit_padded(text, directive, "", value, length, 0);
        break;
      }
      case '\0': return text.finish();
      default:
        text.put('%');
        text.put(*p);
        break;
    }
  }
  return text.finish();
}

}  // namespace records
