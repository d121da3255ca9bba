// A 5 x 7 bitmap font for the plot's labels: digits, capitals (lowercase
// letters other than 'x' draw as capitals) and a little punctuation.
#pragma once

#include <string>

#include "png_image.h"

namespace qkmine {

constexpr int kGlyphWidth = 5, kGlyphHeight = 7, kGlyphAdvance = 6;

// Width in pixels of `text` drawn at `scale`.
int text_width(const std::string& text, int scale);
// Draws `text` with its top-left corner at (x, y); unknown characters draw as blanks.
void draw_text(Image& image, int x, int y, const std::string& text, uint8_t color, int scale);

}  // namespace qkmine
