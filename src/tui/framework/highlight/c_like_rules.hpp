// What sets one C-like language apart from another for the shared scanner: its words and flags.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace orvo::tui::lex {

enum class Quote : std::uint8_t { None, String, Char };

struct CRules {
  std::string_view keywords = {}, types = {}, constants = {}, builtins = {};
  std::string_view def_words = {};   // the identifier after one of these is a function name
  std::string_view type_words = {};  // ... a type name
  std::string_view line_comment = {}, line_comment2 = {};
  bool block_comment = true;
  bool nested_comment = false;
  Quote single = Quote::Char;
  bool backtick = false;         // `...` strings, also across lines (JS templates, Go raw strings)
  bool triple = false;           // """...""" and '''...''' (Python)
  bool string_prefixes = false;  // r"", b'', f"", rb"" ... (Python)
  bool cpp_raw = false;          // R"delim(...)delim"
  bool rust_raw = false;         // r#"..."#, b"...", b'x', lifetimes
  bool hash_preproc = false;     // # directives at the start of a line
  bool decorators = false;       // @name
  bool rust_attributes = false;  // #[...] and #![...]
  bool macro_bang = false;       // name!(...)
  bool upper_types = false;      // CamelCase names are types
  bool case_insensitive = false;
  bool regex = false;  // /.../flags where an operand is expected
  bool dollar_idents = false;
};

struct CLanguage {
  std::string_view name;
  const CRules* rules;
};

// Every language the scanner knows, by the name the highlighter uses.
std::span<const CLanguage> c_like_languages();

}  // namespace orvo::tui::lex
