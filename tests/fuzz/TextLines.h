// The lines of a fuzz input as the readers count them, for the targets of both text formats.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace h8sx::fuzz {

// The text's lines as the reader counts them: CR LF, a lone CR and a lone LF each end one.
inline std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n') continue;
        lines.push_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    lines.push_back(text.substr(start));
    return lines;
}

inline std::string WithLineEnds(std::string_view text, std::string_view eol) {
    const std::vector<std::string_view> lines = Lines(text);
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) out += eol;
        out += lines[i];
    }
    return out;
}

}  // namespace h8sx::fuzz
