#include "arguments.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace {

const QString program = QStringLiteral("quorvel-cli");

struct CommandInfo
{
    Arguments::Command command;
    const char *name;
    const char *summary;
    bool takesSku;
    bool takesCard;
};

const CommandInfo commands[] = {
    { Arguments::Command::SignIn, "sign-in", "Sign in; --remember keeps the sign-in for later runs.", false,
        false },
    { Arguments::Command::SignOut, "sign-out", "Forget the remembered sign-in.", false, false },
    { Arguments::Command::Cards, "cards", "List the cards found, what they hold and their free space.", false,
        false },
    { Arguments::Command::Products, "products", "List the account's products and their status for a card.",
        false, true },
    { Arguments::Command::Download, "download", "Put a product onto a card, resuming and proving every file.",
        true, true },
    { Arguments::Command::Update, "update", "Bring an RQ card's chart up to the newest build.", false, true },
    { Arguments::Command::Verify, "verify",
        "Read a product back from a card and compare it, writing nothing.", true, true },
    { Arguments::Command::Eject, "eject", "Unmount the card and switch its reader off, ready to be taken out.",
        false, true },
};

const CommandInfo *find(const QString &name)
{
    for (const CommandInfo &info : commands) {
        if (name == QLatin1String(info.name))
            return &info;
    }
    return nullptr;
}

// The first word that is not an option names the command; "--card DIR"
// before it would make DIR look like one, so options that take a value
// skip it.
QString commandWord(const QStringList &arguments)
{
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &word = arguments.at(i);
        if (word == QLatin1String("--card") || word == QLatin1String("-card")) {
            ++i;
            continue;
        }
        if (word == QLatin1String("--"))
            return i + 1 < arguments.size() ? arguments.at(i + 1) : QString();
        if (!word.startsWith(QLatin1Char('-')))
            return word;
    }
    return QString();
}

// QCommandLineParser names the program by argv[0] as typed; the help names
// the tool.
QString helpOf(const QCommandLineParser &parser)
{
    QString text = parser.helpText();
    const int end = text.indexOf(QLatin1Char('\n'));
    const QString usage = text.left(end);
    const int options = usage.indexOf(QLatin1String(" [options]"));
    if (usage.startsWith(QLatin1String("Usage: ")) && options > 0)
        text.replace(7, options - 7, program);
    return text;
}

} // namespace

bool Arguments::asksForJob(int argc, char **argv)
{
    QStringList words;
    for (int i = 0; i < argc; ++i)
        words.append(QString::fromLocal8Bit(argv[i]));
    const QString word = commandWord(words);
    return word == QLatin1String("download") || word == QLatin1String("update")
        || word == QLatin1String("verify");
}

QString Arguments::name(Command command)
{
    for (const CommandInfo &info : commands) {
        if (info.command == command)
            return QLatin1String(info.name);
    }
    return QString();
}

Arguments::Outcome Arguments::error(const QString &problem)
{
    why = problem;
    message = QStringLiteral("%1: %2\nTry '%1 --help' for more information.\n").arg(program, problem);
    return Outcome::Error;
}

QString Arguments::toolHelp() const
{
    QString text
        = QStringLiteral("Usage: %1 [--json] COMMAND [options]\n"
                         "Puts Quorvel chart products onto fishfinder SD cards, without a window.\n\n"
                         "Commands:\n")
              .arg(program);
    for (const CommandInfo &info : commands)
        text
            += QStringLiteral("  %1%2\n").arg(QLatin1String(info.name), -10).arg(QLatin1String(info.summary));
    text += QStringLiteral("\nOptions:\n"
                           "  --json         One JSON object per line on standard output.\n"
                           "  -h, --help     Show this help, or a command's with COMMAND --help.\n"
                           "  -v, --version  Show the version.\n\n"
                           "Exit status: 0 done and proven, 1 other, 2 usage, 3 sign-in refused,\n"
                           "4 network, 5 service reply refused, 6 card, 7 verification,\n"
                           "129/130/143 stopped by SIGHUP/SIGINT/SIGTERM (the next run resumes).\n"
                           "See quorvel-cli(1).\n");
    return text;
}

Arguments::Outcome Arguments::parse(const QStringList &arguments)
{
    const QCommandLineOption help(
        { QStringLiteral("h"), QStringLiteral("help") }, QStringLiteral("Show this help."));
    const QCommandLineOption version(
        { QStringLiteral("v"), QStringLiteral("version") }, QStringLiteral("Show the version."));
    const QCommandLineOption json(
        QStringLiteral("json"), QStringLiteral("One JSON object per line on standard output."));
    const QCommandLineOption card(QStringLiteral("card"),
        QStringLiteral("The card (required): the folder whose root holds ENCRYPT.TXT."),
        QStringLiteral("DIR"));
    const QCommandLineOption remember(QStringLiteral("remember"),
        QStringLiteral("Keep the sign-in for later runs (otherwise it is forgotten)."));
    const QCommandLineOption replace(QStringLiteral("replace"),
        QStringLiteral("The card may hold another product of the line: it is removed from the card."));

    // Asked for before anything else is known, so that even a command line
    // the parser refuses answers in JSON.
    jsonWanted = arguments.contains(QStringLiteral("--json")) || arguments.contains(QStringLiteral("-json"));
    const QString word = commandWord(arguments);
    const CommandInfo *info = word.isEmpty() ? nullptr : find(word);
    if (!word.isEmpty() && !info)
        return error(QStringLiteral("unknown command '%1'").arg(word));

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOption(help);
    parser.addOption(json);
    if (!info) {
        parser.addOption(version);
    } else {
        parser.setApplicationDescription(QLatin1String(info->summary));
        parser.addPositionalArgument(QLatin1String(info->name), QStringLiteral("The command."));
        if (info->takesSku)
            parser.addPositionalArgument(
                QStringLiteral("SKU"), QStringLiteral("The product's SKU, as \"products\" lists it."));
        if (info->takesCard)
            parser.addOption(card);
        if (info->command == Command::SignIn)
            parser.addOption(remember);
        if (info->command == Command::Download)
            parser.addOption(replace);
    }
    if (!parser.parse(arguments))
        return error(parser.errorText());

    if (!info) {
        if (parser.isSet(help)) {
            message = toolHelp();
            return Outcome::Help;
        }
        if (parser.isSet(version)) {
            message = QStringLiteral("%1 %2\n").arg(program, QStringLiteral(QUORVEL_VERSION));
            return Outcome::Version;
        }
        return error(QStringLiteral("no command given"));
    }
    if (parser.isSet(help)) {
        message = helpOf(parser);
        return Outcome::Help;
    }

    QStringList positional = parser.positionalArguments();
    positional.removeFirst(); // the command
    const int expected = info->takesSku ? 1 : 0;
    if (positional.size() < expected)
        return error(QStringLiteral("%1 needs the product's SKU").arg(word));
    if (expected > 0 && positional.constFirst().trimmed().isEmpty())
        return error(QStringLiteral("%1 needs the product's SKU, and it is empty").arg(word));
    if (positional.size() > expected)
        return error(QStringLiteral("unexpected argument '%1'").arg(positional.at(expected)));
    if (parser.values(card).size() > 1)
        return error(QStringLiteral("--card is given more than once"));
    if (info->takesCard && parser.value(card).isEmpty())
        return error(QStringLiteral("%1 needs --card DIR").arg(word));

    chosen = info->command;
    productSku = info->takesSku ? positional.constFirst() : QString();
    cardFolder = info->takesCard ? parser.value(card) : QString();
    jsonWanted = parser.isSet(json);
    rememberWanted = info->command == Command::SignIn && parser.isSet(remember);
    replaceWanted = info->command == Command::Download && parser.isSet(replace);
    return Outcome::Run;
}
