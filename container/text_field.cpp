// Text fields read within their own width.
#include "container/text_field.h"

namespace container {

void printableField(const char* field, std::size_t width, char* out) {
    std::size_t i = 0;
    for (; i < width && field[i] != '\0'; ++i) {
        unsigned char c = static_cast<unsigned char>(field[i]);
        out[i] = c < 0x20 || c == 0x7F ? '?' : field[i];
    }
    out[i] = '\0';
}

}  // namespace container
