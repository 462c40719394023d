#include "commands.h"

#include <QDir>
#include <QEventLoop>
#include <QUrl>
#include <QFileInfo>
#include <QJsonArray>
#include <QLoggingCategory>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

#include "base/appglobals.h"
#include "base/utilities.h"
#include "card/cardejector.h"
#include "card/cardwatcher.h"
#include "card/proofledger.h"
#include "catalogue/productstatus.h"
#include "download/joboptions.h"
#include "download/productjob.h"
#include "download/registrationjob.h"
#include "download/restorationjob.h"
#include "download/rqupdatejob.h"
#include "download/verifyjob.h"
#include "exitstatus.h"
#include "jobrunner.h"
#include "session.h"

Q_LOGGING_CATEGORY(lcCli, "quorvel.cli")

namespace {

// In the order of the window's tabs.
const QList<ProductTypeEnum> lines { RqSd, VelmoraRegion, Talvos };

QString sizeText(qint64 bytes)
{
    return Utilities::kbToReadable(double(bytes) / 1024.0);
}

// Lines of text columns, each padded to its widest entry.
QStringList columns(const QList<QStringList> &given)
{
    // One line per row, whatever a card's folder is called: a line break
    // in a name would make two rows of one for a script reading lines.
    QList<QStringList> rows = given;
    for (QStringList &row : rows) {
        for (QString &cell : row)
            cell = Printer::printable(cell, Printer::Lines::Escaped);
    }
    QList<int> widths;
    for (const QStringList &row : std::as_const(rows)) {
        for (int i = 0; i < row.size(); ++i) {
            if (widths.size() <= i)
                widths.append(0);
            widths[i] = qMax(widths.at(i), int(row.at(i).size()));
        }
    }
    QStringList text;
    for (const QStringList &row : std::as_const(rows)) {
        QString line;
        for (int i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row.at(i).leftJustified(widths.at(i) + 2) : row.at(i);
        text.append(line);
    }
    return text;
}

QJsonArray containersJson(const CardState &state)
{
    QJsonArray found;
    for (const CardState::Container &container : state.containers()) {
        found.append(QJsonObject { { QStringLiteral("file"), container.fileName },
            { QStringLiteral("chart"), container.chartName },
            { QStringLiteral("build_number"), qint64(container.buildNumber) },
            { QStringLiteral("build_code"), qint64(container.buildCode) },
            { QStringLiteral("updating"), container.updating } });
    }
    return found;
}

// What the card holds, in a few words: its product and state, or its charts.
QString holdingText(const CardState &state)
{
    QStringList parts;
    if (!state.productSku().isEmpty())
        parts.append(QStringLiteral("%1 (%2)").arg(
            state.productSku(), CardState::productStateName(state.productState())));
    for (const CardState::Container &container : state.containers()) {
        parts.append(
            QStringLiteral("chart %1 build %2%3")
                .arg(container.chartName.trimmed(),
                    ProductStatus::buildReference(qint32(container.buildNumber), qint32(container.buildCode)),
                    container.updating ? QStringLiteral(" (update in progress)") : QString()));
    }
    return parts.isEmpty() ? QStringLiteral("no product") : parts.join(QStringLiteral(", "));
}

const CardState::Container *containerOf(const CardState &state, const QString &chartName)
{
    for (const CardState::Container &container : state.containers()) {
        if (container.chartName == chartName)
            return &container;
    }
    return nullptr;
}

// What a run that ended well may claim: read back from the card, or (the
// read-back switched off in the settings) only checked as it was written.
QString provenText(const JobOptions &options)
{
    return options.readBack ? QStringLiteral("every file proven")
                            : QStringLiteral("every file checked as it was written (not read back from the card, "
                                             "as the settings say)");
}

// Every file was proven, but this computer could not record it: the card
// will not read as proven, and the run says why rather than leave the user
// with two answers.
void sayProofNotKept(const QString &why, QJsonObject *details, QString *text)
{
    if (why.isEmpty())
        return;
    details->insert(QStringLiteral("proof_kept"), false);
    *text += QStringLiteral(" The proof could not be kept on this computer (%1), so the card reads \"Not Verified\" "
                            "until it is verified again.")
                 .arg(why);
}

} // namespace

Commands::Commands(const Arguments &parsed, QObject *parent)
    : QObject(parent)
    , arguments(parsed)
    , printer(Printer::modeFor(parsed.json()))
{
    connect(&stops, &StopSignals::stopAsked, this, &Commands::handleStop);
}

Commands::~Commands() = default;

int Commands::run()
{
    switch (arguments.command()) {
    case Arguments::Command::SignIn:
        return signIn();
    case Arguments::Command::SignOut:
        return signOut();
    case Arguments::Command::Cards:
        return cards();
    case Arguments::Command::Products:
        return products();
    case Arguments::Command::Download:
        return download();
    case Arguments::Command::Update:
        return update();
    case Arguments::Command::Verify:
        return verify();
    case Arguments::Command::Eject:
        return eject();
    case Arguments::Command::None:
        break;
    }
    return ExitStatus::Usage;
}

void Commands::handleStop(int signalNumber)
{
    if (running) {
        running->stop(signalNumber);
        return;
    }
    // Nothing is being written: only the service is being asked, and its
    // answer no longer matters. A script still gets its last event.
    qCInfo(lcCli) << "stopped by signal" << signalNumber << "outside a job";
    printer.event({ { QStringLiteral("event"), QStringLiteral("paused") },
        { QStringLiteral("reason"), QStringLiteral("signal") }, { QStringLiteral("signal"), signalNumber } });
    printer.endBar();
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(ExitStatus::ofSignal(signalNumber));
}

int Commands::fail(const JobError &error)
{
    return fail(ExitStatus::ofFailure(error.kind), JobError::kindName(error.kind), error.message, error.file);
}

int Commands::fail(int code, const QString &kind, const QString &message, const QString &file)
{
    QJsonObject event { { QStringLiteral("event"), QStringLiteral("failed") },
        { QStringLiteral("kind"), kind }, { QStringLiteral("message"), message } };
    if (!file.isEmpty())
        event.insert(QStringLiteral("file"), file);
    printer.event(event);
    printer.error(QStringLiteral("quorvel-cli: %1").arg(message));
    return code;
}

int Commands::done(QJsonObject details, const QString &text)
{
    details.insert(QStringLiteral("event"), QStringLiteral("done"));
    printer.event(details);
    if (!text.isEmpty())
        printer.line(text);
    return ExitStatus::Success;
}

bool Commands::openCard(CardIdentity *card, int *code)
{
    *card = CardIdentity::fromRoot(arguments.card());
    if (card->isValid())
        return true;
    qCInfo(lcCli) << "no card at" << arguments.card() << card->problem();
    // What is wrong decides what the user does next: a mistyped folder, or a
    // card the control head has not written its ENCRYPT.TXT on (yet).
    const QFileInfo folder(arguments.card());
    QString why;
    if (!folder.exists())
        why = QStringLiteral("there is no such folder");
    else if (!folder.isDir())
        why = QStringLiteral("it is not a folder");
    else if (QDir(arguments.card())
                 .entryList({QStringLiteral("ENCRYPT.TXT")}, QDir::AllEntries | QDir::System | QDir::Hidden)
                 .isEmpty())
        why = QStringLiteral("its root holds no ENCRYPT.TXT");
    else
        why = QStringLiteral("its ENCRYPT.TXT cannot be used (%1)").arg(card->problem());
    *code = fail(JobError { JobError::CardGone, arguments.card(),
        QStringLiteral("No card at %1: %2.").arg(arguments.card(), why) });
    return false;
}

CardState Commands::readCard(const CardIdentity &card) const
{
    return CardState::read(card, ProofLedger());
}

int Commands::connectService()
{
    const QUrl base(serviceBaseUrl());
    const QString scheme = base.scheme().toLower();
    if (!base.isValid() || base.host().isEmpty()
        || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return fail(ExitStatus::Usage, QStringLiteral("usage"),
                    QStringLiteral("The chart service address \"%1\" is not an http or https address "
                                   "(QUORVEL_SERVICE_URL).")
                        .arg(serviceBaseUrl()));
    if (!session)
        session = std::make_unique<Session>();
    int signalNumber = 0;
    JobError error = session->signIn(Account::Remember::Keep, &signalNumber);
    if (signalNumber != 0)
        return ExitStatus::ofSignal(signalNumber);
    if (!error.isNone())
        return fail(error);
    error = session->loadCatalogue();
    if (!error.isNone())
        return fail(error);
    return ExitStatus::Success;
}

bool Commands::findProduct(const QString &sku, Product *product, int *code)
{
    *product = session->catalogue().productBySku(sku);
    if (!product->isValid()) {
        *code = fail(JobError { JobError::ServiceReply, QString(),
            QStringLiteral("No product %1 in the chart service's catalogue.").arg(sku) });
        return false;
    }
    if (!product->owned()) {
        *code = fail(JobError { JobError::ServiceReply, QString(),
            QStringLiteral("The account does not own %1 (%2).").arg(sku.trimmed(), product->name) });
        return false;
    }
    return true;
}

int Commands::runJob(Job *job, const QString &kind, const CardIdentity &card, Ended *ended)
{
    const std::unique_ptr<Job> owned(job);
    JobRunner runner(job, kind, card, &printer);
    running = &runner;
    const int code = runner.run();
    running = nullptr;
    if (ended)
        *ended = Ended{job->refetchedFiles(), job->proofNotKept()};
    return code;
}

int Commands::signIn()
{
    session = std::make_unique<Session>();
    const bool remember = arguments.remember();
    int signalNumber = 0;
    const JobError error
        = session->signIn(remember ? Account::Remember::Store : Account::Remember::Forget, &signalNumber);
    if (signalNumber != 0)
        return ExitStatus::ofSignal(signalNumber);
    if (!error.isNone())
        return fail(error);
    const QString email = session->account().email();
    // Where the keyring cannot keep it, that is said; the sign-in worked all the same.
    const bool kept = remember && session->awaitKept();
    if (remember && !kept)
        std::fputs(qPrintable(session->keepProblem() + QLatin1Char('\n')), stderr);
    // The process ends next: without the keyring's answer the removal could
    // be lost with it, and the line below would not be true.
    const QString left = remember ? QString() : session->awaitForgotten();
    if (!left.isEmpty())
        return fail(ExitStatus::Other, QStringLiteral("keyring"),
            QStringLiteral(
                "Signed in as %1, but the remembered sign-in could not be removed from the keyring "
                "(%2); it is still there. Unlock or start the keyring and run \"quorvel-cli "
                "sign-out\".")
                .arg(email, left));
    return done({ { QStringLiteral("email"), email }, { QStringLiteral("remembered"), kept } },
        kept ? QStringLiteral("Signed in as %1; the sign-in is remembered.").arg(email)
             : QStringLiteral("Signed in as %1; no sign-in is remembered.").arg(email));
}

int Commands::signOut()
{
    // No session to end on the service: it is the credential on this
    // computer that goes.
    Session local;
    const CredentialResult removal = local.signOut();
    // A locked or unreachable keyring keeps the password's hash: the user
    // must know it is still there to unlock it and run this again.
    if (removal.unanswered())
        return fail(ExitStatus::Other, QStringLiteral("keyring"),
            QStringLiteral("The remembered sign-in could not be removed from the keyring (%1); it is still "
                           "there. Unlock or start the keyring and run \"quorvel-cli sign-out\" again.")
                .arg(removal.reason()));
    return done({}, QStringLiteral("Signed out; no sign-in is remembered."));
}

int Commands::eject()
{
    // Any folder the user names: a card already chosen by its ENCRYPT.TXT
    // or not, the disk service judges what it is.
    if (!QFileInfo(arguments.card()).isDir())
        return fail(ExitStatus::Card, QStringLiteral("card-gone"),
                    QStringLiteral("No card at %1: there is no such folder.").arg(arguments.card()),
                    arguments.card());
    CardEjector ejector;
    CardEjector::Result result;
    QEventLoop loop;
    connect(&ejector, &CardEjector::finished, &loop, [&](const CardEjector::Result &ended) {
        result = ended;
        loop.quit();
    });
    ejector.eject(QFileInfo(arguments.card()).absoluteFilePath());
    loop.exec();
    if (!result.ok()) {
        const int code = result.kind == CardEjector::Result::Unavailable ? ExitStatus::Other : ExitStatus::Card;
        return fail(code, QStringLiteral("eject"), result.message, arguments.card());
    }
    return done({{QStringLiteral("root"), result.root}, {QStringLiteral("powered_off"), result.poweredOff}},
                result.message);
}

int Commands::cards()
{
    CardWatcher watcher;
    watcher.poll();
    QList<QStringList> rows;
    for (const CardIdentity &card : watcher.cards()) {
        const CardState state = readCard(card);
        printer.event({ { QStringLiteral("event"), QStringLiteral("card") },
            { QStringLiteral("root"), card.root() }, { QStringLiteral("media_id"), card.rawMediaId() },
            { QStringLiteral("readable"), state.isValid() },
            { QStringLiteral("product"), state.productSku() },
            { QStringLiteral("state"), CardState::productStateName(state.productState()) },
            { QStringLiteral("containers"), containersJson(state) },
            { QStringLiteral("free"), state.freeBytes() }, { QStringLiteral("total"), state.totalBytes() } });
        if (!state.isValid()) {
            rows.append({ card.root(), card.rawMediaId(), state.problem() });
            continue;
        }
        rows.append({ card.root(), card.rawMediaId(), holdingText(state),
            QStringLiteral("%1 free of %2").arg(sizeText(state.freeBytes()), sizeText(state.totalBytes())) });
    }
    for (const QString &line : columns(rows))
        printer.line(line);
    return done({ { QStringLiteral("cards"), int(rows.size()) } },
        rows.isEmpty() ? QStringLiteral("No card found.") : QString());
}

int Commands::products()
{
    CardIdentity card;
    int code = ExitStatus::Success;
    if (!openCard(&card, &code))
        return code;
    if ((code = connectService()) != ExitStatus::Success)
        return code;
    const Catalogue &catalogue = session->catalogue();
    const CardState state = readCard(card);
    const ProductTypeEnum cardLine = state.isRqCard() ? RqSd : catalogue.lineOf(state.productSku());
    QList<QStringList> rows;
    for (ProductTypeEnum line : lines) {
        for (const Product &product : catalogue.owned(line)) {
            QString status;
            QString action;
            const CardState::Container *container = line == RqSd ? containerOf(state, product.sku) : nullptr;
            if (container) {
                const ProductStatus::ChartStatus chart = ProductStatus::chart(product, *container);
                status = ProductStatus::chartWord(chart);
                action = ProductStatus::chartAction(chart);
            } else {
                const ProductStatus::Code of = ProductStatus::of(product, state, cardLine);
                status = ProductStatus::word(of);
                action = ProductStatus::offeredAction(product, state, of);
            }
            const QString size = Utilities::kbToReadable(product.sizeInKb);
            printer.event({ { QStringLiteral("event"), QStringLiteral("product") },
                { QStringLiteral("line"), productTypeToString(line) }, { QStringLiteral("sku"), product.sku },
                { QStringLiteral("name"), product.name }, { QStringLiteral("size_kb"), product.sizeInKb },
                { QStringLiteral("status"), status }, { QStringLiteral("action"), action } });
            rows.append({ productTypeToString(line), product.sku.trimmed(), product.name, size, status });
        }
    }
    for (const QString &line : columns(rows))
        printer.line(line);
    return done({ { QStringLiteral("products"), int(rows.size()) } },
        rows.isEmpty() ? QStringLiteral("The account owns no product.") : QString());
}

int Commands::download()
{
    CardIdentity card;
    int code = ExitStatus::Success;
    if (!openCard(&card, &code))
        return code;
    if ((code = connectService()) != ExitStatus::Success)
        return code;
    Product product;
    if (!findProduct(arguments.sku(), &product, &code))
        return code;
    if (product.line == RqSd)
        return fail(ExitStatus::Usage, QStringLiteral("usage"),
            QStringLiteral(
                "%1 is an RQ chart: bring its card up to date with \"quorvel-cli update --card DIR\".")
                .arg(product.sku.trimmed()));
    const CardState state = readCard(card);
    const ProductTypeEnum cardLine
        = state.isRqCard() ? RqSd : session->catalogue().lineOf(state.productSku());
    if (ProductStatus::of(product, state, cardLine) == ProductStatus::Incompatible)
        return fail(ExitStatus::Card, QStringLiteral("incompatible"),
            QStringLiteral("%1 cannot go onto this card: it holds a chart of another line.")
                .arg(product.sku.trimmed()));
    // The window asks before a product on the card goes; a script says so
    // with --replace.
    const QString onCard = state.productSku();
    const bool replacing = !onCard.isEmpty() && onCard != product.sku.simplified();
    // A product that can never fit is refused by the job as too large, the
    // more lasting answer.
    const bool fits = state.totalBytes() <= 0 || ProductStatus::fitsOn(product, state.totalBytes());
    if (replacing && fits && !arguments.replace())
        return fail(ExitStatus::Card, JobError::kindName(JobError::ProductOnCard),
            QStringLiteral("%1 is on this card, and downloading %2 removes it from the card. Nothing was "
                           "changed: run again with --replace to replace it.")
                .arg(onCard, product.sku.trimmed()));
    const JobOptions options = JobOptions::fromSettings();
    auto *job = new ProductJob(&session->service(), product, session->sessionId(), card, options);
    if (arguments.replace())
        job->agreeToReplaceAny();
    Ended ended;
    if ((code = runJob(job, QStringLiteral("download"), card, &ended)) != ExitStatus::Success)
        return code;
    QJsonObject details { { QStringLiteral("job"), QStringLiteral("download") },
        { QStringLiteral("sku"), product.sku }, { QStringLiteral("read_back"), options.readBack } };
    QString text = QStringLiteral("%1 is on the card, %2.").arg(product.name, provenText(options));
    if (replacing) {
        details.insert(QStringLiteral("replaced"), onCard);
        text += QStringLiteral(" It replaced %1.").arg(onCard);
    }
    sayProofNotKept(ended.proofNotKept, &details, &text);
    return done(details, text);
}

int Commands::verify()
{
    CardIdentity card;
    int code = ExitStatus::Success;
    if (!openCard(&card, &code))
        return code;
    if ((code = connectService()) != ExitStatus::Success)
        return code;
    Product product;
    if (!findProduct(arguments.sku(), &product, &code))
        return code;
    auto *job = new VerifyJob(&session->service(), product, session->sessionId(), card);
    Ended ended;
    if ((code = runJob(job, QStringLiteral("verify"), card, &ended)) != ExitStatus::Success)
        return code;
    QJsonObject details { { QStringLiteral("job"), QStringLiteral("verify") }, { QStringLiteral("sku"), product.sku } };
    QString text = QStringLiteral("%1 on the card matches the chart service's files.").arg(product.name);
    sayProofNotKept(ended.proofNotKept, &details, &text);
    return done(details, text);
}

int Commands::update()
{
    CardIdentity card;
    int code = ExitStatus::Success;
    if (!openCard(&card, &code))
        return code;
    if ((code = connectService()) != ExitStatus::Success)
        return code;
    const Catalogue &catalogue = session->catalogue();
    CardState state = readCard(card);

    // The card's chart: the first container that names an RQ product.
    Product product;
    QString containerFile;
    for (const CardState::Container &container : state.containers()) {
        const Product found = catalogue.productBySku(container.chartName);
        if (found.isValid() && found.line == RqSd) {
            product = found;
            containerFile = container.fileName;
            break;
        }
    }

    if (!product.isValid()) {
        // No container of a known chart: a card that lost its container
        // still has a subscription bound to it, whose chart data rebuilds it.
        QList<Product> rq = catalogue.owned(RqSd);
        std::sort(rq.begin(), rq.end(), [](const Product &a, const Product &b) { return a.sku < b.sku; });
        const Subscription *bound = nullptr;
        for (const Product &candidate : std::as_const(rq)) {
            if ((bound = candidate.subscriptionFor(card.rawMediaId()))) {
                product = candidate;
                break;
            }
        }
        if (!bound) {
            if (!state.containers().isEmpty())
                return fail(JobError { JobError::ServiceReply, state.containers().constFirst().fileName,
                    QStringLiteral("The card's chart %1 is not in the chart service's catalogue.")
                        .arg(state.containers().constFirst().chartName.trimmed()) });
            return fail(JobError { JobError::CardGone, card.root(),
                QStringLiteral("The card at %1 holds no RQ chart, and none of the account's is "
                               "bound to it.")
                    .arg(card.root()) });
        }
        qCInfo(lcCli) << "restoring the container of" << product.sku;
        auto *restoring = new RestorationJob(&session->service(), product, card, bound->drm);
        if ((code = runJob(restoring, QStringLiteral("restoration"), card)) != ExitStatus::Success)
            return code;
        state = readCard(card);
        const CardState::Container *restored = containerOf(state, product.sku);
        if (!restored)
            return fail(JobError { JobError::NotKept, card.root(),
                QStringLiteral("The rebuilt chart container is not on the card.") });
        containerFile = restored->fileName;
    } else if (!product.subscriptionFor(card.rawMediaId())) {
        // The service has not seen this card yet: it learns the card's
        // chart data before it gives the card anything.
        qCInfo(lcCli) << "registering the card for" << product.sku;
        auto *registering
            = new RegistrationJob(&session->service(), product, session->sessionId(), card, containerFile);
        if ((code = runJob(registering, QStringLiteral("registration"), card)) != ExitStatus::Success)
            return code;
    }

    const CardState::Container *container = containerOf(state, product.sku);
    if (container && ProductStatus::chart(product, *container) == ProductStatus::UpToDate)
        return done({ { QStringLiteral("job"), QStringLiteral("update") },
                        { QStringLiteral("sku"), product.sku }, { QStringLiteral("up_to_date"), true } },
            QStringLiteral("%1 is up to date.").arg(product.name));
    // The card already had the newest build: what the run fetched again,
    // the card had not kept.
    const bool sameBuild = container && ProductStatus::chart(product, *container) == ProductStatus::UpToDateSameBuild;
    const JobOptions options = JobOptions::fromSettings();
    auto *job = new RqUpdateJob(&session->service(), product, card, containerFile, options);
    Ended ended;
    if ((code = runJob(job, QStringLiteral("update"), card, &ended)) != ExitStatus::Success)
        return code;
    const QStringList &refetched = ended.refetched;
    QJsonObject details { { QStringLiteral("job"), QStringLiteral("update") }, { QStringLiteral("sku"), product.sku },
        { QStringLiteral("read_back"), options.readBack } };
    QString text = QStringLiteral("%1 is at the newest build, %2.").arg(product.name, provenText(options));
    if (sameBuild && !refetched.isEmpty()) {
        details.insert(QStringLiteral("damaged"), QJsonArray::fromStringList(refetched));
        text += QStringLiteral(" %1 of its files (%2) did not hold what the chart service published and %3 fetched "
                               "again; if this happens again, the card may be failing.")
                    .arg(refetched.size())
                    .arg(refetched.join(QStringLiteral(", ")), refetched.size() == 1 ? QStringLiteral("was")
                                                                                      : QStringLiteral("were"));
    }
    return done(details, text);
}
