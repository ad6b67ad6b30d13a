// The lexer families (lexers.cpp dispatches to them by name).
#pragma once

#include <string_view>
#include <vector>

#include "tui/framework/highlight/highlight.hpp"

namespace orvo::tui::lex {

// C-like languages by canonical name (python, c, cpp, javascript, typescript, rust, go, java,
// sql); false when `name` is none of them.
bool c_like(std::string_view name, std::vector<CodeLine>& lines);
void shell(std::vector<CodeLine>& lines);
void json(std::vector<CodeLine>& lines);
void yaml(std::vector<CodeLine>& lines);
void toml(std::vector<CodeLine>& lines);
void diff(std::vector<CodeLine>& lines);
void cmake(std::vector<CodeLine>& lines);
void html(std::vector<CodeLine>& lines);
void css(std::vector<CodeLine>& lines);
void generic(std::vector<CodeLine>& lines);

}  // namespace orvo::tui::lex
