// The command line shared by viz256-run and viz256-record: options in both spellings, one
// reader of numbers, JSON that is valid UTF-8 whatever the bytes it is given.
#include "tools/command_line.h"
#include "tools/json_out.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using tools::CommandLine;

TEST(CommandLine, OptionsInBothSpellingsAndOneLineForEachMistake)
{
    const std::vector<tools::OptionSpec> options = {{"to", true}, {"start", true}, {"json"}, {"help"}};
    const CommandLine c({"run.dat", "--to=a b.h5", "--start", "-1", "-h"}, options, 1);
    EXPECT_EQ(c.value("to"), QStringLiteral("a b.h5"));
    EXPECT_EQ(c.value("start"), QStringLiteral("-1")); // a value, even when it looks like an option
    EXPECT_TRUE(c.has("help") && !c.has("json"));
    EXPECT_EQ(c.positional(), QStringList{"run.dat"});

    const struct {
        QStringList args;
        const char *line;
    } bad[] = {
        {{"--bogus"}, "unknown option --bogus"},   {{"-x"}, "unknown option -x"},
        {{"--json", "--json"}, "--json is given twice"}, {{"--to=a", "--to", "b"}, "--to is given twice"},
        {{"--json=yes"}, "--json takes no value"}, {{"--start"}, "--start needs a value"},
        {{"a", "b"}, "unexpected argument b"},
    };
    for (const auto &b : bad) {
        try {
            CommandLine(b.args, options, 1);
            ADD_FAILURE() << b.args.join(' ').toStdString() << " accepted";
        } catch (const tools::UsageError &e) {
            EXPECT_EQ(e.line, QString::fromUtf8(b.line));
        }
    }
}

TEST(CommandLine, OneReaderOfNumbersRefusesWhatIsNotDecimal)
{
    EXPECT_EQ(tools::seconds(QStringLiteral("2,5"), "--start") + tools::seconds(QStringLiteral("1."), "--start"), 3.5);
    EXPECT_EQ(tools::number(QStringLiteral("-0.25"), "--grid", true), -0.25);
    EXPECT_EQ(tools::read_number(QStringLiteral("16"), false, 0), 16.0);
    for (const char *faux : {"0x1", "0x0", "1e3", "1e-2", "inf", "nan", "-1", "1.2.3", "", "-", "+1", "1 2"})
        EXPECT_THROW(tools::seconds(QString::fromLatin1(faux), "--start"), tools::UsageError) << faux;
    EXPECT_FALSE(tools::read_number(QStringLiteral("2.5"), false, 0)); // a whole number wanted
    EXPECT_FALSE(tools::read_number(QString(400, u'9'), false));     // no number of hundreds of digits
    EXPECT_FALSE(tools::read_number(QStringLiteral("--1"), true));
}

TEST(Json, ValidUtf8InTheOrderGiven)
{
    using tools::Json;
    Json o = Json::object();
    o("z", std::string("b\xff\xfe.dat"))("a", "t\"ab\t\n")("n", std::numeric_limits<double>::quiet_NaN())("big", uint64_t(1) << 40);
    o("list", Json::array().push(Json::object()("k", true)).push(Json::object()("k", Json())));
    const std::string line = o.line();
    EXPECT_EQ(line.substr(0, 6), "{\"z\": ");
    EXPECT_LT(line.find("\"a\": "), line.find("\"n\": null"));
    for (const std::string &text : {line, o.block()}) {
        QJsonParseError e;
        const QJsonObject back = QJsonDocument::fromJson(QByteArray::fromStdString(text), &e).object();
        ASSERT_EQ(e.error, QJsonParseError::NoError) << text;
        EXPECT_EQ(back["z"].toString(), QStringLiteral("b\uFFFD\uFFFD.dat"));
        EXPECT_EQ(back["a"].toString(), QStringLiteral("t\"ab\t\n"));
        EXPECT_EQ(back["big"].toInteger(), qint64(1) << 40);
    }
    EXPECT_EQ(o.block().substr(0, 4), "{\n  ");
}
