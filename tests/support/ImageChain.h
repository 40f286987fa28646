#pragma once
// Lays string descriptors 1.. after descriptor 0 straight into an image's string area, as the editor
// does when it builds an image (a fresh image has no descriptor 1 to rewrite).

#include "EepromImage.h"

#include <string>
#include <vector>

inline void WriteChain(EepromImage &image, const std::vector<std::string> &texts)
{
    uint8_t *b = image.Bytes();
    std::size_t at = EepromImage::kStringsBegin + b[EepromImage::kStringsBegin];
    for (const std::string &text : texts) {
        b[at] = static_cast<uint8_t>(2 + 2 * text.size());
        b[at + 1] = 3;
        for (std::size_t i = 0; i < text.size(); ++i) {
            b[at + 2 + 2 * i] = static_cast<uint8_t>(text[i]);
            b[at + 3 + 2 * i] = 0;
        }
        at += b[at];
    }
}
