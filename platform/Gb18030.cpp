#include "platform/Gb18030.h"

#include <iconv.h>

#include <QStringList>

#include <cerrno>
#include <stdexcept>

namespace {

class Converter {
public:
    Converter(const char* to, const char* from) : handle_(iconv_open(to, from)) {
        if (handle_ == reinterpret_cast<iconv_t>(-1)) {
            throw std::runtime_error("GB18030 conversion is not available");
        }
    }
    ~Converter() { iconv_close(handle_); }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // Converts as much as it can; an input sequence it cannot take is passed to `skip`,
    // which appends its own stand-in and returns how many input bytes to step over.
    template <typename Skip>
    QByteArray run(const QByteArray& input, Skip skip) {
        iconv(handle_, nullptr, nullptr, nullptr, nullptr);
        QByteArray output;
        output.reserve(input.size() * 2 + 16);
        char* in = const_cast<char*>(input.constData());
        size_t inLeft = static_cast<size_t>(input.size());
        char buffer[4096];
        while (inLeft > 0) {
            char* out = buffer;
            size_t outLeft = sizeof buffer;
            const size_t result = iconv(handle_, &in, &inLeft, &out, &outLeft);
            output.append(buffer, out - buffer);
            if (result == static_cast<size_t>(-1) && errno != E2BIG) {
                const size_t step = std::min(inLeft, skip(output, in, inLeft));
                in += step;
                inLeft -= step;
                iconv(handle_, nullptr, nullptr, nullptr, nullptr);
            }
        }
        return output;
    }

private:
    iconv_t handle_;
};

// Code page 936 writes the euro sign as the single byte 0x80, which GB18030 leaves
// undefined (its own euro, 0xA2E3, is read as well).
constexpr QChar kEuro = u'\u20AC';
constexpr char kEuroByte = '\x80';

size_t utf8SequenceLength(unsigned char lead) {
    if (lead >= 0xF0)
        return 4;
    if (lead >= 0xE0)
        return 3;
    if (lead >= 0xC0)
        return 2;
    return 1;
}

}  // namespace

QByteArray ToGb18030(const QString& text) {
    thread_local Converter converter("GB18030", "UTF-8");
    QByteArray bytes;
    const QStringList parts = text.split(kEuro);
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (i > 0) {
            bytes.append(kEuroByte);
        }
        bytes.append(converter.run(parts[i].toUtf8(), [](QByteArray& out, const char* in, size_t) {
            out.append('?');
            return utf8SequenceLength(static_cast<unsigned char>(*in));
        }));
    }
    return bytes;
}

QString FromGb18030(const QByteArray& bytes) {
    thread_local Converter converter("UTF-8", "GB18030");
    const QByteArray utf8 = converter.run(bytes, [](QByteArray& out, const char* in, size_t) {
        out.append(*in == kEuroByte ? "\xE2\x82\xAC" : "\xEF\xBF\xBD");
        return size_t{1};
    });
    return QString::fromUtf8(utf8);
}
