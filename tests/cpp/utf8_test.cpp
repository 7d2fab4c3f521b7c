// Driver texts as the module writes them: the UTF-8 decoder of device names
// and the quoting of error descriptions, both checked against Python's own
// decoder on every 1- and 2-byte sequence and on every 3- and 4-byte
// sequence over a corpus holding each boundary byte of the table of
// well-formed sequences.
#include "driver/utf8.hpp"

#include <Python.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "driver/result.hpp"

namespace vorlan::driver {
namespace {

// bytes.decode("utf-8", errors), written back as UTF-8. The interpreter
// starts on first use and stays for the process.
std::string python_decode(std::string_view bytes, const char* errors) {
  [[maybe_unused]] static const bool started = (Py_InitializeEx(0), true);
  PyObject* text =
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), errors);
  if (text == nullptr) {
    PyErr_Clear();
    return "<decode failed>";
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  std::string out = utf8 ? std::string(utf8, static_cast<std::size_t>(size)) : "<no UTF-8>";
  Py_DECREF(text);
  return out;
}

// Bytes on both sides of every row boundary of the table, plus the ASCII
// end points: 00, 7F (written as escapes when quoted) and a letter.
const std::vector<unsigned char> kBoundaryBytes = {
    0x00, 0x41, 0x7F, 0x80, 0x81, 0x8F, 0x90, 0x9F, 0xA0, 0xA1, 0xBF, 0xC0, 0xC1, 0xC2, 0xC3,
    0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xF7, 0xF8, 0xFF};

// Every sequence of `length` bytes drawn from `alphabet`, passed to `check`.
template <class Check>
void for_each_sequence(const std::vector<unsigned char>& alphabet, std::size_t length,
                       Check check) {
  std::vector<std::size_t> digits(length, 0);
  std::string bytes(length, '\0');
  for (;;) {
    for (std::size_t k = 0; k < length; ++k) bytes[k] = static_cast<char>(alphabet[digits[k]]);
    check(bytes);
    std::size_t k = 0;
    while (k < length && ++digits[k] == alphabet.size()) digits[k++] = 0;
    if (k == length) return;
  }
}

std::vector<unsigned char> all_bytes() {
  std::vector<unsigned char> bytes(256);
  for (unsigned value = 0; value < 256; ++value) bytes[value] = static_cast<unsigned char>(value);
  return bytes;
}

struct Corpus {
  std::vector<unsigned char> alphabet;
  std::size_t length;
};

class Utf8Corpus : public ::testing::TestWithParam<Corpus> {};

TEST_P(Utf8Corpus, DecodesAsPythonReplaces) {
  int mismatches = 0;
  for_each_sequence(GetParam().alphabet, GetParam().length, [&](const std::string& bytes) {
    const std::string expected = python_decode(bytes, "replace");
    if (decode_lossy(bytes) != expected && ++mismatches <= 5) {
      ADD_FAILURE() << "bytes " << ::testing::PrintToString(bytes) << ": got "
                    << ::testing::PrintToString(decode_lossy(bytes)) << ", Python gives "
                    << ::testing::PrintToString(expected);
    }
  });
  EXPECT_EQ(mismatches, 0);
}

// Without control characters, quotes or backslashes a quoted text is Python's
// decoding with each byte of an ill-formed piece written as \xNN.
TEST_P(Utf8Corpus, QuotesIllFormedBytesAsPythonEscapesThem) {
  std::vector<unsigned char> printable;
  for (unsigned char byte : GetParam().alphabet) {
    if (byte >= 0x20 && byte != 0x7F && byte != '"' && byte != '\\') printable.push_back(byte);
  }
  int mismatches = 0;
  for_each_sequence(printable, GetParam().length, [&](const std::string& bytes) {
    const std::string expected = '"' + python_decode(bytes, "backslashreplace") + '"';
    if (quoted(bytes) != expected && ++mismatches <= 5) {
      ADD_FAILURE() << "bytes " << ::testing::PrintToString(bytes) << ": got " << quoted(bytes)
                    << ", expected " << expected;
    }
  });
  EXPECT_EQ(mismatches, 0);
}

INSTANTIATE_TEST_SUITE_P(Sequences, Utf8Corpus,
                         ::testing::Values(Corpus{all_bytes(), 1}, Corpus{all_bytes(), 2},
                                           Corpus{kBoundaryBytes, 3}, Corpus{kBoundaryBytes, 4}),
                         [](const auto& corpus) {
                           return std::to_string(corpus.param.length) + "Bytes";
                         });

TEST(Utf8, AMaximalSubpartIsOneReplacementNotOnePerByte) {
  EXPECT_EQ(decode_lossy("\xF0\x9F\x98"), "\xEF\xBF\xBD");  // truncated 4-byte form
  EXPECT_EQ(decode_lossy("a\xE2\x82"), "a\xEF\xBF\xBD");    // truncated 3-byte form
  // A surrogate's lead ED cannot go on with A0: three pieces of one byte.
  EXPECT_EQ(decode_lossy("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(DriverText, ControlCharactersAndDeleteAreEscaped) {
  EXPECT_EQ(quoted("a\x7F"
                   "b"),
            "\"a\\u{7f}b\"");
  EXPECT_EQ(quoted(std::string("\x01\x1F\x20", 3)), "\"\\u{1}\\u{1f} \"");
  EXPECT_EQ(quoted("\x7E"), "\"~\"");
  EXPECT_EQ(quoted("\xC2\x80"), "\"\xC2\x80\"");  // U+0080 is printable text here
}

}  // namespace
}  // namespace vorlan::driver
