#include "ptx/lexer.hpp"

#include <cctype>
#include <string>

namespace vorlan::emu::ptx {
namespace {

bool word_start(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == '$' || c == '%' ||
         c == '.';
}
bool word_char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' || c == '.';
}
bool hex_digit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }
bool digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  std::expected<std::vector<Token>, PtxError> run() {
    for (;;) {
      skip_blank_and_comments();
      if (unterminated_comment_) return fail("unterminated /* comment");
      if (pos_ >= text_.size()) break;
      auto step = next_token();
      if (!step) return std::unexpected(step.error());
    }
    tokens_.push_back(Token{TokenKind::End, text_.substr(text_.size()), line_});
    return std::move(tokens_);
  }

 private:
  void skip_blank_and_comments() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '\n') {
        ++line_;
        ++pos_;
      } else if (std::isspace(static_cast<unsigned char>(c))) {
        ++pos_;
      } else if (text_.substr(pos_, 2) == "//") {
        while (pos_ < text_.size() && text_[pos_] != '\n') ++pos_;
      } else if (text_.substr(pos_, 2) == "/*") {
        skip_block_comment();
      } else {
        break;
      }
    }
  }

  void skip_block_comment() {
    const auto end = text_.find("*/", pos_ + 2);
    if (end == std::string_view::npos) {
      unterminated_comment_ = true;
      pos_ = text_.size();
      return;
    }
    for (std::size_t i = pos_; i < end; ++i) line_ += text_[i] == '\n' ? 1 : 0;
    pos_ = end + 2;
  }

  std::expected<void, PtxError> next_token() {
    const char c = text_[pos_];
    if (word_start(c)) return push(TokenKind::Word, scan_word());
    if (digit(c)) return scan_number();
    static constexpr std::string_view kPunct = ",;:[]{}()<>+-|@!";
    if (kPunct.find(c) != std::string_view::npos) return push(TokenKind::Punct, 1);
    return fail(std::string("unexpected character '") + c + "'");
  }

  // A word may contain "::" (`.shared::cta`) but a single ':' ends it, so that
  // `loop:` stays a label.
  std::size_t scan_word() const {
    std::size_t end = pos_ + 1;
    while (end < text_.size()) {
      if (word_char(text_[end])) {
        ++end;
      } else if (text_.substr(end, 2) == "::" && end + 2 < text_.size() &&
                 word_char(text_[end + 2])) {
        end += 2;
      } else {
        break;
      }
    }
    return end - pos_;
  }

  std::expected<void, PtxError> scan_number() {
    const std::string_view rest = text_.substr(pos_);
    if (rest.size() > 1 && (rest[1] == 'f' || rest[1] == 'F' || rest[1] == 'd' || rest[1] == 'D') &&
        rest[0] == '0') {
      const std::size_t digits = (rest[1] == 'f' || rest[1] == 'F') ? 8 : 16;
      std::size_t n = 2;
      while (n < rest.size() && hex_digit(rest[n])) ++n;
      if (n != digits + 2) return fail("malformed floating-point constant");
      return push(TokenKind::Float, n);
    }
    std::size_t n = 0;
    if (rest.size() > 1 && rest[0] == '0' &&
        (rest[1] == 'x' || rest[1] == 'X' || rest[1] == 'b' || rest[1] == 'B')) {
      n = 2;
      while (n < rest.size() && hex_digit(rest[n])) ++n;
    } else {
      while (n < rest.size() && digit(rest[n])) ++n;
      if (n < rest.size() && (rest[n] == '.' || rest[n] == 'e' || rest[n] == 'E'))
        return scan_decimal_float(n);
    }
    if (n < rest.size() && (rest[n] == 'U' || rest[n] == 'u')) ++n;
    if (n < rest.size() && word_char(rest[n])) return fail("malformed number");
    return push(TokenKind::Integer, n);
  }

  std::expected<void, PtxError> scan_decimal_float(std::size_t n) {
    const std::string_view rest = text_.substr(pos_);
    if (rest[n] == '.') {
      ++n;
      while (n < rest.size() && digit(rest[n])) ++n;
    }
    if (n < rest.size() && (rest[n] == 'e' || rest[n] == 'E')) {
      ++n;
      if (n < rest.size() && (rest[n] == '+' || rest[n] == '-')) ++n;
      if (n >= rest.size() || !digit(rest[n])) return fail("malformed number");
      while (n < rest.size() && digit(rest[n])) ++n;
    }
    if (n < rest.size() && word_char(rest[n])) return fail("malformed number");
    return push(TokenKind::Float, n);
  }

  std::expected<void, PtxError> push(TokenKind kind, std::size_t length) {
    tokens_.push_back(Token{kind, text_.substr(pos_, length), line_});
    pos_ += length;
    return {};
  }

  std::unexpected<PtxError> fail(std::string reason) const {
    return std::unexpected(
        PtxError{vorlan::cuda::CUDA_ERROR_INVALID_PTX, line_, std::move(reason)});
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  int line_ = 1;
  bool unterminated_comment_ = false;
  std::vector<Token> tokens_;
};

}  // namespace

std::expected<std::vector<Token>, PtxError> tokenize(std::string_view text) {
  return Lexer(text).run();
}

}  // namespace vorlan::emu::ptx
