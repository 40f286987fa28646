// The editor's readers of outside bytes: an INF file's text as the model-line edit sees it, and an
// image file shown in the fields and built again.

#include "EditorModel.h"
#include "InfUpdate.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string original(reinterpret_cast<const char *>(data), size);
    const std::string line = editor::InfModelLine(0x1234, 0xABCD);
    std::string text = original;
    switch (editor::AddModelLine(text, "[Veltrona]", line)) {
    case editor::InfEdit::Added: {
        const bool wide = original.size() >= 2 && original.compare(0, 2, "\xFF\xFE", 2) == 0;
        if (text.size() != original.size() + (line.size() + 2) * (wide ? 2 : 1))
            std::abort();
        break;
    }
    default:
        if (text != original)
            std::abort();
    }

    if (size >= EepromImage::kImageSize) {
        editor::EditorModel model([] { return std::tm{}; });
        if (model.m_image.LoadBytes(data, size, CHIP_MODEL_QT7730) == EEP_OK && model.ShowImage())
            model.BuildImage();
    }
    return 0;
}
