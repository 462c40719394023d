#pragma once

#include <QString>
#include <QStringList>

// The command line as typed: the command, its SKU and card, and the
// options. Each command has its own options and its own --help; anything
// the parser does not take is a usage error (exit status 2).
class Arguments
{
public:
    enum class Command { None, SignIn, SignOut, Cards, Products, Download, Update, Verify, Eject };
    enum class Outcome {
        Run,
        Help, // text() is the help asked for
        Version, // text() is the version line
        Error, // text() says what is wrong and where to look
    };

    // arguments: as QCoreApplication::arguments() gives them, program first.
    Outcome parse(const QStringList &arguments);

    QString text() const { return message; }
    // After an Error: what is wrong, in one line.
    QString problem() const { return why; }
    Command command() const { return chosen; }
    QString sku() const { return productSku; }
    QString card() const { return cardFolder; }
    // --json was given, also on a command line that is otherwise wrong: the
    // usage error is then an event as well.
    bool json() const { return jsonWanted; }
    bool remember() const { return rememberWanted; }
    // download: the user agrees that another product on the card goes.
    bool replace() const { return replaceWanted; }

    static QString name(Command command);
    // Whether the command line asks for a job on a card (download, update,
    // verify), before any of it is parsed: such a run starts a log of its own.
    static bool asksForJob(int argc, char **argv);

private:
    Outcome error(const QString &why);
    QString toolHelp() const;

    Command chosen = Command::None;
    QString productSku;
    QString cardFolder;
    bool jsonWanted = false;
    bool rememberWanted = false;
    bool replaceWanted = false;
    QString message;
    QString why;
};
