#include "ptx/parser.hpp"

#include <bit>
#include <charconv>
#include <cstdlib>
#include <optional>
#include <string>

#include "ptx/lexer.hpp"
#include "ptx/literals.hpp"

namespace vorlan::emu::ptx {
namespace {

using vorlan::cuda::CUDA_ERROR_INVALID_PTX;
using vorlan::cuda::CUDA_ERROR_UNSUPPORTED_PTX_VERSION;

template <class T>
using Result = std::expected<T, PtxError>;

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  Result<ModuleSyntax> run() {
    if (auto header = parse_header(); !header) return std::unexpected(header.error());
    while (peek().kind != TokenKind::End) {
      if (auto item = parse_top_level(); !item) return std::unexpected(item.error());
    }
    if (module_.entries.empty()) return fail("the module declares no .entry");
    return std::move(module_);
  }

 private:
  // ----- token access -----
  const Token& peek(std::size_t ahead = 0) const {
    return tokens_[std::min(pos_ + ahead, tokens_.size() - 1)];
  }
  const Token& take() {
    const Token& token = tokens_[pos_];
    if (pos_ + 1 < tokens_.size()) ++pos_;
    return token;
  }
  bool is_punct(std::string_view text, std::size_t ahead = 0) const {
    return peek(ahead).kind == TokenKind::Punct && peek(ahead).text == text;
  }
  bool is_word(std::string_view text) const {
    return peek().kind == TokenKind::Word && peek().text == text;
  }
  bool accept_punct(std::string_view text) {
    if (!is_punct(text)) return false;
    take();
    return true;
  }
  bool accept_word(std::string_view text) {
    if (!is_word(text)) return false;
    take();
    return true;
  }

  std::unexpected<PtxError> fail(std::string reason, CUresult code = CUDA_ERROR_INVALID_PTX) const {
    return std::unexpected(PtxError{code, peek().line, std::move(reason)});
  }
  std::unexpected<PtxError> unexpected_token(std::string_view wanted) const {
    if (peek().kind == TokenKind::End)
      return fail(std::string("expected ") + std::string(wanted) + " before the end");
    return fail("expected " + std::string(wanted) + ", found '" + std::string(peek().text) + "'");
  }
  Result<void> expect_punct(std::string_view text) {
    if (!accept_punct(text)) return unexpected_token("'" + std::string(text) + "'");
    return {};
  }
  Result<std::string> expect_name() {
    if (peek().kind != TokenKind::Word || peek().text.starts_with('.'))
      return unexpected_token("a name");
    return std::string(take().text);
  }
  Result<std::uint64_t> expect_integer() {
    if (peek().kind != TokenKind::Integer) return unexpected_token("an integer");
    const auto value = parse_integer_literal(peek().text);
    if (!value) return fail("malformed integer '" + std::string(peek().text) + "'");
    take();
    return *value;
  }
  Result<std::uint32_t> expect_small_integer(std::uint64_t limit) {
    auto value = expect_integer();
    if (!value) return std::unexpected(value.error());
    if (*value > limit) return fail("value " + std::to_string(*value) + " is too large");
    return static_cast<std::uint32_t>(*value);
  }

  // ----- module header -----
  Result<void> parse_header() {
    if (!accept_word(".version")) return fail("the module must begin with .version");
    if (auto version = parse_version(); !version) return version;
    if (!accept_word(".target")) return fail("expected .target after .version");
    if (auto target = parse_target(); !target) return target;
    if (!accept_word(".address_size")) return fail("expected .address_size 64 after .target");
    auto size = expect_integer();
    if (!size) return std::unexpected(size.error());
    if (*size != 64) return fail("only 64-bit addressing is supported");
    return {};
  }

  Result<void> parse_version() {
    const Token& token = peek();
    const auto dot = token.text.find('.');
    if (token.kind != TokenKind::Float || dot == std::string_view::npos)
      return unexpected_token("a version such as 8.5");
    int major = 0;
    int minor = 0;
    const auto text = token.text;
    auto [end_major, err_major] = std::from_chars(text.data(), text.data() + dot, major);
    auto [end_minor, err_minor] =
        std::from_chars(text.data() + dot + 1, text.data() + text.size(), minor);
    if (err_major != std::errc{} || err_minor != std::errc{} ||
        end_minor != text.data() + text.size()) {
      return unexpected_token("a version such as 8.5");
    }
    if (major > kMaxVersionMajor || (major == kMaxVersionMajor && minor > kMaxVersionMinor)) {
      return fail("PTX ISA " + std::string(text) + " is newer than 8.5",
                  CUDA_ERROR_UNSUPPORTED_PTX_VERSION);
    }
    take();
    module_.version_major = major;
    module_.version_minor = minor;
    return {};
  }

  Result<void> parse_target() {
    do {
      if (peek().kind != TokenKind::Word) return unexpected_token("a target such as sm_70");
      const auto target = take().text;
      if (!target.starts_with("sm_") && !target.starts_with("compute_")) {
        return fail("unsupported target '" + std::string(target) + "'");
      }
    } while (accept_punct(","));
    return {};
  }

  // ----- module body -----
  Result<void> parse_top_level() {
    if (accept_word(".visible")) {
      if (!is_word(".entry")) return fail("only .entry functions are supported");
    }
    if (accept_word(".entry")) return parse_entry();
    if (accept_word(".extern")) {
      if (!accept_word(".shared")) return fail("only .extern .shared variables are supported");
      return parse_shared(module_.shared, true);
    }
    if (accept_word(".shared")) return parse_shared(module_.shared, false);
    return fail("unsupported directive or statement '" + std::string(peek().text) + "'");
  }

  Result<void> parse_entry() {
    EntrySyntax entry;
    entry.line = peek().line;
    auto name = expect_name();
    if (!name) return std::unexpected(name.error());
    entry.name = *name;
    for (const auto& other : module_.entries) {
      if (other.name == entry.name) return fail("duplicate entry '" + entry.name + "'");
    }
    if (auto params = parse_param_list(entry); !params) return params;
    if (auto limits = parse_performance_directives(entry); !limits) return limits;
    if (auto body = parse_body(entry); !body) return body;
    module_.entries.push_back(std::move(entry));
    return {};
  }

  Result<void> parse_param_list(EntrySyntax& entry) {
    if (!accept_punct("(")) return {};
    if (accept_punct(")")) return {};
    do {
      if (!accept_word(".param")) return unexpected_token(".param");
      auto param = parse_param();
      if (!param) return std::unexpected(param.error());
      for (const auto& other : entry.params) {
        if (other.name == param->name) return fail("duplicate parameter '" + param->name + "'");
      }
      entry.params.push_back(std::move(*param));
    } while (accept_punct(","));
    return expect_punct(")");
  }

  // .param [.align N] type [.ptr [.space] [.align N]] name [[N]]
  Result<ParamDecl> parse_param() {
    ParamDecl param{{}, Type::B8, 0, 1, peek().line};
    bool typed = false;
    bool pointer = false;  // after .ptr, .space and .align describe the pointee
    while (peek().kind == TokenKind::Word && peek().text.starts_with('.')) {
      const auto word = take().text;
      if (word == ".align") {
        auto align = expect_small_integer(1u << 16);
        if (!align) return std::unexpected(align.error());
        if (!std::has_single_bit(*align)) return fail("alignment must be a power of two");
        if (!pointer) param.align = *align;
      } else if (auto type = parse_type(word); type && *type != Type::Pred && !typed && !pointer) {
        param.type = *type;
        typed = true;
      } else if (word == ".ptr" && typed) {
        pointer = true;
      } else if (!pointer ||
                 (word != ".global" && word != ".shared" && word != ".const" && word != ".local")) {
        return fail("unsupported parameter attribute '" + std::string(word) + "'");
      }
    }
    if (!typed) return fail("parameter without a type");
    auto name = expect_name();
    if (!name) return std::unexpected(name.error());
    param.name = *name;
    if (accept_punct("[")) {
      auto count = expect_small_integer(1u << 16);
      if (!count) return std::unexpected(count.error());
      if (*count == 0) return fail("a parameter array needs at least one element");
      param.count = *count;
      if (auto close = expect_punct("]"); !close) return std::unexpected(close.error());
    }
    if (param.align == 0) param.align = type_bytes(param.type);
    return param;
  }

  Result<void> parse_performance_directives(EntrySyntax& entry) {
    for (;;) {
      if (accept_word(".maxntid")) {
        if (auto limit = parse_thread_limit(entry.max_threads); !limit) return limit;
      } else if (accept_word(".reqntid")) {
        if (auto limit = parse_thread_limit(entry.required_threads); !limit) return limit;
      } else if (accept_word(".minnctapersm") || accept_word(".maxnreg")) {
        if (auto value = expect_integer(); !value) return std::unexpected(value.error());
      } else {
        return {};
      }
    }
  }

  Result<void> parse_thread_limit(ThreadLimit& limit) {
    std::uint32_t* dims[] = {&limit.x, &limit.y, &limit.z};
    std::size_t count = 0;
    do {
      if (count == 3) return fail("at most three dimensions");
      auto value = expect_small_integer(1024);
      if (!value) return std::unexpected(value.error());
      if (*value == 0) return fail("a thread limit must be positive");
      *dims[count++] = *value;
    } while (accept_punct(","));
    limit.present = true;
    return {};
  }

  // ----- declarations -----
  // [.align N] type name[dims]... {, name[dims]...} ;
  Result<void> parse_shared(std::vector<SharedDecl>& into, bool is_extern) {
    std::uint32_t align = 0;
    std::optional<Type> type;
    while (peek().kind == TokenKind::Word && peek().text.starts_with('.')) {
      const auto word = take().text;
      if (word == ".align") {
        auto value = expect_small_integer(1u << 16);
        if (!value) return std::unexpected(value.error());
        if (!std::has_single_bit(*value)) return fail("alignment must be a power of two");
        align = *value;
      } else if (auto parsed = parse_type(word); parsed && *parsed != Type::Pred && !type) {
        type = parsed;
      } else {
        return fail("unsupported .shared attribute '" + std::string(word) + "'");
      }
    }
    if (!type) return fail(".shared variable without a type");
    do {
      auto decl = parse_shared_name(*type, align == 0 ? type_bytes(*type) : align, is_extern);
      if (!decl) return std::unexpected(decl.error());
      into.push_back(std::move(*decl));
    } while (accept_punct(","));
    if (is_punct("=")) return fail("initialisers of .shared variables are not supported");
    return expect_punct(";");
  }

  Result<SharedDecl> parse_shared_name(Type type, std::uint32_t align, bool is_extern) {
    SharedDecl decl{{}, type, align, 1, is_extern, peek().line};
    auto name = expect_name();
    if (!name) return std::unexpected(name.error());
    decl.name = *name;
    if (is_extern) {
      if (!accept_punct("[") || !accept_punct("]"))
        return fail(".extern .shared must be an unsized array name[]");
      decl.count = 0;
      return decl;
    }
    while (accept_punct("[")) {
      auto count = expect_small_integer(1u << 20);
      if (!count) return std::unexpected(count.error());
      if (*count == 0) return fail("a .shared array needs at least one element");
      decl.count *= *count;
      if (decl.count > (1u << 20)) return fail(".shared array too large");
      if (auto close = expect_punct("]"); !close) return std::unexpected(close.error());
    }
    return decl;
  }

  // .reg type name[<N>] {, name[<N>]} ;
  Result<void> parse_registers(EntrySyntax& entry) {
    const int line = peek().line;
    const auto type = peek().kind == TokenKind::Word ? parse_type(peek().text) : std::nullopt;
    if (!type) return fail("unsupported register type '" + std::string(peek().text) + "'");
    take();
    do {
      auto name = expect_name();
      if (!name) return std::unexpected(name.error());
      if (accept_punct("<")) {
        auto count = expect_small_integer(1u << 16);
        if (!count) return std::unexpected(count.error());
        if (auto close = expect_punct(">"); !close) return close;
        for (std::uint32_t i = 0; i < *count; ++i) {
          entry.registers.push_back(RegisterDecl{*name + std::to_string(i), *type, line});
        }
      } else {
        entry.registers.push_back(RegisterDecl{*name, *type, line});
      }
    } while (accept_punct(","));
    return expect_punct(";");
  }

  // ----- function body -----
  Result<void> parse_body(EntrySyntax& entry) {
    if (auto open = expect_punct("{"); !open) return open;
    int depth = 1;
    while (depth > 0) {
      if (peek().kind == TokenKind::End) return fail("unterminated body of '" + entry.name + "'");
      if (accept_punct("{")) {
        ++depth;
      } else if (accept_punct("}")) {
        --depth;
      } else if (auto item = parse_body_item(entry); !item) {
        return item;
      }
    }
    return {};
  }

  Result<void> parse_body_item(EntrySyntax& entry) {
    const Token& token = peek();
    if (token.kind == TokenKind::Word && token.text.starts_with('.'))
      return parse_body_directive(entry);
    if (token.kind == TokenKind::Word && is_punct(":", 1)) {
      const std::string label(take().text);
      take();
      if (!entry.labels.emplace(label, entry.body.size()).second)
        return fail("duplicate label '" + label + "'");
      return {};
    }
    auto statement = parse_statement();
    if (!statement) return std::unexpected(statement.error());
    entry.body.push_back(std::move(*statement));
    return {};
  }

  Result<void> parse_body_directive(EntrySyntax& entry) {
    if (accept_word(".reg")) return parse_registers(entry);
    if (accept_word(".shared")) return parse_shared(entry.shared, false);
    if (accept_word(".extern")) {
      if (!accept_word(".shared")) return fail("only .extern .shared variables are supported");
      return parse_shared(entry.shared, true);
    }
    return fail("unsupported directive '" + std::string(peek().text) + "'");
  }

  Result<Statement> parse_statement() {
    Statement statement;
    statement.line = peek().line;
    if (accept_punct("@")) {
      statement.guard_negated = accept_punct("!");
      auto guard = expect_name();
      if (!guard) return std::unexpected(guard.error());
      statement.guard = *guard;
    }
    if (peek().kind != TokenKind::Word || peek().text.starts_with('.'))
      return unexpected_token("an instruction");
    split_opcode(take().text, statement);
    if (!is_punct(";")) {
      do {
        auto operand = parse_operand();
        if (!operand) return std::unexpected(operand.error());
        statement.operands.push_back(std::move(*operand));
      } while (accept_punct(","));
    }
    if (auto end = expect_punct(";"); !end) return std::unexpected(end.error());
    return statement;
  }

  static void split_opcode(std::string_view word, Statement& statement) {
    auto dot = word.find('.');
    statement.opcode = std::string(word.substr(0, dot));
    while (dot != std::string_view::npos) {
      const auto next = word.find('.', dot + 1);
      statement.modifiers.emplace_back(
          word.substr(dot, next == std::string_view::npos ? next : next - dot));
      dot = next;
    }
  }

  // ----- operands -----
  Result<Operand> parse_operand() {
    if (accept_punct("[")) return parse_address();
    if (accept_punct("{")) return parse_vector();
    if (accept_punct("!")) {
      auto name = expect_name();
      if (!name) return std::unexpected(name.error());
      return Operand{.kind = Operand::Kind::Name, .name = *name, .negated = true};
    }
    if (peek().kind == TokenKind::Integer || peek().kind == TokenKind::Float || is_punct("-"))
      return parse_constant();
    auto name = expect_name();
    if (!name) return std::unexpected(name.error());
    if (accept_punct("|")) {
      auto second = expect_name();
      if (!second) return std::unexpected(second.error());
      return Operand{.kind = Operand::Kind::Pair, .name = *name, .second = *second};
    }
    return Operand{.kind = Operand::Kind::Name, .name = *name};
  }

  Result<Operand> parse_constant() {
    const bool negative = accept_punct("-");
    const Token& token = peek();
    if (token.kind == TokenKind::Integer) {
      auto value = expect_integer();
      if (!value) return std::unexpected(value.error());
      return Operand{.kind = Operand::Kind::Integer, .bits = negative ? 0 - *value : *value};
    }
    if (token.kind != TokenKind::Float) return unexpected_token("a constant");
    auto literal = parse_float_literal(token.text);
    if (!literal)
      return fail("malformed floating-point constant '" + std::string(token.text) + "'");
    take();
    if (negative) literal->bits ^= literal->single ? 0x80000000ull : 0x8000000000000000ull;
    return Operand{.kind = Operand::Kind::Float, .single = literal->single, .bits = literal->bits};
  }

  Result<Operand> parse_address() {
    Operand operand{.kind = Operand::Kind::Address};
    if (peek().kind == TokenKind::Word) {
      operand.name = std::string(take().text);
      if (accept_punct("+")) {
        auto offset = parse_signed_offset();
        if (!offset) return std::unexpected(offset.error());
        operand.offset = *offset;
      } else if (is_punct("-")) {
        auto offset = parse_signed_offset();
        if (!offset) return std::unexpected(offset.error());
        operand.offset = *offset;
      }
    } else {
      auto offset = parse_signed_offset();
      if (!offset) return std::unexpected(offset.error());
      operand.offset = *offset;
    }
    if (auto close = expect_punct("]"); !close) return std::unexpected(close.error());
    return operand;
  }

  Result<std::int64_t> parse_signed_offset() {
    const bool negative = accept_punct("-");
    auto value = expect_integer();
    if (!value) return std::unexpected(value.error());
    if (*value > 0x7FFFFFFFull) return fail("address offset out of range");
    const auto magnitude = static_cast<std::int64_t>(*value);
    return negative ? -magnitude : magnitude;
  }

  Result<Operand> parse_vector() {
    Operand operand{.kind = Operand::Kind::Vector};
    do {
      if (peek().kind == TokenKind::Integer || peek().kind == TokenKind::Float || is_punct("-")) {
        auto constant = parse_constant();
        if (!constant) return std::unexpected(constant.error());
        operand.elements.push_back(std::move(*constant));
        continue;
      }
      auto name = expect_name();
      if (!name) return std::unexpected(name.error());
      operand.elements.push_back(Operand{.kind = Operand::Kind::Name, .name = *name});
    } while (accept_punct(","));
    if (auto close = expect_punct("}"); !close) return std::unexpected(close.error());
    return operand;
  }

  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
  ModuleSyntax module_;
};

}  // namespace

std::expected<ModuleSyntax, PtxError> parse_module(std::string_view text) {
  auto tokens = tokenize(text);
  if (!tokens) return std::unexpected(tokens.error());
  return Parser(std::move(*tokens)).run();
}

}  // namespace vorlan::emu::ptx
