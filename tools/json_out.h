#pragma once
// The JSON that viz256-run and viz256-record print: values encoded by QJsonDocument (always
// valid UTF-8: a text that is not UTF-8, such as a file name, has each bad byte as U+FFFD;
// a number that is not finite is null), objects keeping their members in the order given.
#include <QJsonValue>
#include <QString>

#include <concepts>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tools {

class Json {
public:
    Json() = default; // null
    Json(bool b) : scalar_(b) {}
    Json(double v) : scalar_(v) {}
    template <std::integral T>
        requires(!std::same_as<T, bool>)
    Json(T v) : scalar_(std::cmp_less_equal(v, INT64_MAX) ? QJsonValue(qint64(v)) : QJsonValue(double(v)))
    {
    }
    Json(const char *text) : scalar_(QString::fromUtf8(text)) {}
    Json(const std::string &bytes) : scalar_(QString::fromUtf8(bytes.data(), qsizetype(bytes.size()))) {}
    Json(const QString &text) : scalar_(text) {}

    static Json object();
    static Json array();
    Json &operator()(const char *key, Json value); // adds an object member
    Json &push(Json value);                         // adds an array element

    // One line: {"a": 1, "b": [1, 2]}.
    std::string line() const;
    // The members of an object one a line (two blanks in), an array of objects one element a
    // line; ends with a line end.
    std::string block() const;

private:
    enum class Kind { Scalar, Object, Array };
    std::string text(int indent) const;
    Kind kind_ = Kind::Scalar;
    QJsonValue scalar_;
    std::vector<std::pair<QString, Json>> members_; // an array's have no key
};

} // namespace tools
