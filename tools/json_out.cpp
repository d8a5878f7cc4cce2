#include "tools/json_out.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace tools {

namespace {

std::string encoded(const QJsonValue &v)
{
    const QByteArray a = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact); // "[v]"
    return a.mid(1, a.size() - 2).toStdString();
}

} // namespace

Json Json::object()
{
    Json j;
    j.kind_ = Kind::Object;
    return j;
}

Json Json::array()
{
    Json j;
    j.kind_ = Kind::Array;
    return j;
}

Json &Json::operator()(const char *key, Json value)
{
    members_.emplace_back(QString::fromUtf8(key), std::move(value));
    return *this;
}

Json &Json::push(Json value)
{
    members_.emplace_back(QString(), std::move(value));
    return *this;
}

// indent < 0: all on one line; otherwise the members on lines of their own, `indent` blanks in.
std::string Json::text(int indent) const
{
    if (kind_ == Kind::Scalar)
        return encoded(scalar_);
    const bool object = kind_ == Kind::Object;
    bool lines = indent >= 0 && !members_.empty();
    if (!object && lines)
        for (const auto &m : members_)
            lines = lines && m.second.kind_ == Kind::Object;
    std::string s = object ? "{" : "[";
    const std::string in = lines ? std::string(size_t(indent) + 2, ' ') : std::string();
    for (size_t i = 0; i < members_.size(); ++i) {
        s += i ? (lines ? ",\n" : ", ") : (lines ? "\n" : "");
        s += in;
        if (object)
            s += encoded(members_[i].first) + ": ";
        const Json &v = members_[i].second;
        s += v.text(lines && object && v.kind_ == Kind::Array ? indent + 2 : -1);
    }
    if (lines)
        s += "\n" + std::string(size_t(indent), ' ');
    return s + (object ? "}" : "]");
}

std::string Json::line() const
{
    return text(-1);
}

std::string Json::block() const
{
    return text(0) + "\n";
}

} // namespace tools
