#include "CliMain.h"

#include "CliOptions.h"
#include "CliSession.h"
#include "CliTarget.h"
#include "DeviceTest.h"
#include "Find.h"
#include "Report.h"
#include "Watch.h"

#include "common/CommandLine.h"
#include "common/TerminationSignals.h"
#include "session/DeviceSearch.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QPointer>
#include <QTimer>

#include <cmath>
#include <cstdio>

namespace korvane::cli {

namespace {

void printLine(std::FILE *to, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to);
    // A test station reads each line as it comes.
    std::fflush(to);
}

void out(const QString &line) { printLine(stdout, line); }
void err(const QString &line) { printLine(stderr, line); }

/// What every command shares: the options, the port, where its requests
/// are reported.
struct Run {
    const Options &options;
    CliSession &cli;
    ReportContext context;
    TerminationSignals &terminations;
    bool opened = false;

    JsonFields summaryHead(const QString &command) const
    {
        return {{QStringLiteral("time"), isoTime(QDateTime::currentDateTime())},
                {QStringLiteral("port"), context.port},
                {QStringLiteral("device"), cli.session().device()},
                {QStringLiteral("slave"), context.slave},
                {QStringLiteral("line"), context.line},
                {QStringLiteral("command"), command},
                {QStringLiteral("summary"), true}};
    }
};

Action actionFor(const Options &o)
{
    switch (o.command) {
    case Command::Reset: return resetAction();
    case Command::Number: return numberAction(o.number);
    case Command::Text: return textAction(o.text);
    case Command::Output: return switchAction(o.output, o.on);
    case Command::Buzzer: return switchAction(3, o.on);
    default: return readAction();
    }
}

// ------------------------------------------------------------ one command

int runCommand(Run &run)
{
    int signalled = 0;
    QObject::connect(&run.terminations, &TerminationSignals::received, &run.cli, [&](int sig) {
        signalled = sig;
        run.cli.abort();
    });
    run.cli.onAttempt = [&](const RequestResult &r) {
        if (run.options.verbose)
            err(verboseLine(run.context, r));
        if (run.options.json)
            out(jsonLine(requestFields(run.context, r)));
    };
    const auto result = run.cli.request(actionFor(run.options));
    if (!result) {
        err(QStringLiteral("korvane-cli: interrupted while waiting for the reply"));
        return 128 + signalled;
    }
    if (result->outcome != Outcome::Ok)
        err(QStringLiteral("korvane-cli: ") + failureText(*result));
    else if (result->value && !run.options.json)
        out(QString::number(*result->value));
    return exitCode(result->outcome);
}

// ------------------------------------------------------------ test

TestReply testReply(const RequestResult &r)
{
    TestReply reply;
    reply.outcome = r.outcome;
    reply.value = r.value;
    reply.note = explainExchange(r.record);
    reply.elapsedMs = r.elapsedMs;
    return reply;
}

Action testAction(const TestRequest &request)
{
    switch (request.kind) {
    case TestRequest::Kind::Read: return readAction();
    case TestRequest::Kind::WriteNumber: return numberAction(request.number);
    case TestRequest::Kind::Reset: return resetAction();
    case TestRequest::Kind::WriteText: return textAction(request.text);
    case TestRequest::Kind::Switch: return switchAction(request.output, request.on);
    }
    return readAction();
}

int runTest(Run &run)
{
    QElapsedTimer clock;
    clock.start();
    std::optional<RequestResult> last;
    run.cli.onAttempt = [&](const RequestResult &r) {
        if (run.options.verbose)
            err(verboseLine(run.context, r));
    };
    DeviceTest test(
        [&](const TestRequest &request) {
            last = run.cli.request(testAction(request));
            if (!last) {
                TestReply aborted;
                aborted.aborted = true;
                return aborted;
            }
            return testReply(*last);
        },
        [&](const TestStep &step) {
            const QString verdict = step.passed ? QStringLiteral("PASS") : QStringLiteral("FAIL");
            if (run.options.json) {
                JsonFields fields = requestFields(run.context, *last);
                fields << qMakePair(QStringLiteral("step"), QJsonValue(step.number))
                       << qMakePair(QStringLiteral("name"), QJsonValue(step.name))
                       << qMakePair(QStringLiteral("result"), QJsonValue(verdict))
                       << qMakePair(QStringLiteral("reason"), QJsonValue(step.reason))
                       << qMakePair(QStringLiteral("restoring"), QJsonValue(step.restoring));
                out(jsonLine(fields));
                return;
            }
            out(QStringLiteral("%1  %2%3%4  (%5 ms)")
                    .arg(verdict, step.name, step.reason.isEmpty() ? QString() : QStringLiteral(": ") + step.reason,
                         step.restoring ? QStringLiteral(" [restoring after the interruption]") : QString())
                    .arg(roundedMs(step.elapsedMs)));
        });
    // The first signal lets the test restore the device; a second one
    // ends the wait at once.
    QObject::connect(&run.terminations, &TerminationSignals::received, &run.cli, [&] {
        if (test.interrupted())
            run.cli.abort();
        else
            test.interrupt();
    });
    test.run();

    const int passed = test.passedSteps();
    const bool pass = test.passed();
    const double ms = roundedMs(double(clock.nsecsElapsed()) / 1e6);
    QString what = QStringLiteral("%1 of %2 steps passed").arg(passed).arg(DeviceTest::plannedSteps());
    if (test.interrupted())
        what = QStringLiteral("interrupted; ") + what;
    if (run.cli.aborted())
        what += QStringLiteral("; stopped before the device was restored");
    if (!test.failures().isEmpty())
        what += QStringLiteral("; failed: ") + test.failures().join(QStringLiteral(", "));
    if (run.options.json) {
        JsonFields fields = run.summaryHead(QStringLiteral("test"));
        fields << qMakePair(QStringLiteral("result"), QJsonValue(pass ? QStringLiteral("PASS") : QStringLiteral("FAIL")))
               << qMakePair(QStringLiteral("steps"), QJsonValue(DeviceTest::plannedSteps()))
               << qMakePair(QStringLiteral("passed"), QJsonValue(passed))
               << qMakePair(QStringLiteral("failed"), QJsonValue(QJsonArray::fromStringList(test.failures())))
               << qMakePair(QStringLiteral("interrupted"), QJsonValue(test.interrupted()))
               << qMakePair(QStringLiteral("elapsed_ms"), QJsonValue(ms));
        out(jsonLine(fields));
    } else {
        out(QStringLiteral("%1  %2  (%3 ms)").arg(pass ? QStringLiteral("PASS") : QStringLiteral("FAIL"), what).arg(ms));
    }
    if (pass)
        return 0;
    return test.nothingSent() ? 4 : 1;
}

// ------------------------------------------------------------ watch

int runWatch(Run &run)
{
    const qint64 interval = run.options.intervalMs;
    bool stopped = false;
    QPointer<QEventLoop> waiting;
    QObject::connect(&run.terminations, &TerminationSignals::received, &run.cli, [&] {
        // At once: a read waiting for its reply is given up.
        stopped = true;
        run.cli.abort();
        if (waiting)
            waiting->quit();
    });
    run.cli.onAttempt = [&](const RequestResult &r) {
        if (run.options.verbose)
            err(verboseLine(run.context, r));
    };
    // Bytes of a read that come after its wait: said with -v, as the
    // traffic window adds them to the read's row.
    QObject::connect(&run.cli.session().recorder(), &TrafficRecorder::lateBytes, &run.cli,
                     [&](quint64 number, const QByteArray &bytes, int msAfterSend) {
                         if (run.options.verbose)
                             err(QStringLiteral("request %1: %2 ms after it was sent, late: %3")
                                     .arg(number).arg(msAfterSend).arg(hexBytes(bytes)));
                     });

    WatchTally tally;
    std::optional<Outcome> lastOutcome;
    // A port that cannot be opened at the start is not watched: its one
    // read says why.
    if (!run.opened) {
        if (const auto result = run.cli.request(readAction())) {
            if (run.options.json)
                out(jsonLine(requestFields(run.context, *result)));
            err(QStringLiteral("korvane-cli: ") + failureText(*result));
            return exitCode(result->outcome);
        }
        return 1;
    }
    QElapsedTimer clock;
    clock.start();
    qint64 due = 0;
    while (!stopped && (!run.options.count || tally.reads() < *run.options.count)) {
        const WatchSlot slot = nextWatchSlot(due, interval, clock.elapsed());
        const qint64 startAt = slot.index * interval;
        // Timers may fire a little early: wait until the time has come.
        while (!stopped && clock.elapsed() < startAt) {
            QEventLoop loop;
            waiting = &loop;
            QTimer::singleShot(int(startAt - clock.elapsed()), Qt::PreciseTimer, &loop, &QEventLoop::quit);
            loop.exec();
        }
        if (stopped)
            break;
        const qint64 atMs = clock.elapsed();
        const auto result = run.cli.request(readAction());
        if (!result)
            break;
        due = slot.index + 1;
        lastOutcome = result->outcome;
        const WatchRead read{atMs, result->value};
        const WatchTally::Line line = tally.add(read, slot.skipped);
        if (run.options.json) {
            JsonFields fields = requestFields(run.context, *result);
            fields << qMakePair(QStringLiteral("change"),
                                line.change ? QJsonValue(double(*line.change)) : QJsonValue(QJsonValue::Null))
                   << qMakePair(QStringLiteral("per_minute"),
                                line.perMinute ? QJsonValue(std::round(*line.perMinute * 10) / 10)
                                               : QJsonValue(QJsonValue::Null))
                   << qMakePair(QStringLiteral("skipped"), QJsonValue(double(slot.skipped)));
            out(jsonLine(fields));
        } else {
            out(watchLine(isoTime(result->record.time), read, line,
                          outcomeName(result->outcome) + QStringLiteral(": ") + explainExchange(result->record)));
        }
    }
    if (run.options.json) {
        JsonFields fields = run.summaryHead(QStringLiteral("watch"));
        const auto number = [](std::optional<qint64> v) { return v ? QJsonValue(double(*v)) : QJsonValue(QJsonValue::Null); };
        fields << qMakePair(QStringLiteral("reads"), QJsonValue(double(tally.reads())))
               << qMakePair(QStringLiteral("failures"), QJsonValue(double(tally.failures())))
               << qMakePair(QStringLiteral("skipped"), QJsonValue(double(tally.skipped())))
               << qMakePair(QStringLiteral("first"), number(tally.first()))
               << qMakePair(QStringLiteral("last"), number(tally.last()))
               << qMakePair(QStringLiteral("change"), number(tally.totalChange()))
               << qMakePair(QStringLiteral("elapsed_ms"), QJsonValue(roundedMs(double(clock.nsecsElapsed()) / 1e6)));
        out(jsonLine(fields));
    } else {
        out(tally.summaryText());
    }
    if (tally.lastSucceeded())
        return 0;
    return lastOutcome ? exitCode(*lastOutcome) : 1;
}

// ------------------------------------------------------------ find

int runFind(const Options &o, const StoredSettings &stored, TerminationSignals &terminations)
{
    const FindChoice choice = findOptions(o, stored);
    if (!choice.error.isEmpty()) {
        err(usageErrorLine(choice.error));
        return 2;
    }
    DeviceSearch search;
    QEventLoop loop;
    std::optional<SearchReport> report;
    QObject::connect(&search, &DeviceSearch::deviceFound, &search, [&](const FoundDevice &d) {
        out(o.json ? jsonLine(foundFields(d)) : foundLine(d));
    });
    QObject::connect(&search, &DeviceSearch::portFinished, &search, [&](const PortReport &r) {
        out(o.json ? jsonLine(verdictFields(r)) : QStringLiteral("verdict: ") + portVerdict(r));
    });
    QObject::connect(&search, &DeviceSearch::finished, &search, [&](const SearchReport &r) {
        report = r;
        loop.quit();
    });
    if (o.verbose) {
        QObject::connect(&search, &DeviceSearch::progress, &search, [](const SearchProgress &p) {
            err(QStringLiteral("probe %1 of %2: %3%4 slave %5%6")
                    .arg(p.done + 1).arg(p.total)
                    .arg(portName(p.commPort, p.device),
                         p.settings.isEmpty() ? QString() : QStringLiteral(" ") + settingsLabel(p.settings))
                    .arg(p.address)
                    .arg(p.confirming ? QStringLiteral(" (read again)") : QString()));
        });
    }
    // The first signal ends the search within one probe wait, with its
    // report; a second one at once.
    QObject::connect(&terminations, &TerminationSignals::received, &search, [&] {
        if (terminations.count() == 1)
            search.stop();
        else
            loop.quit();
    });
    if (const auto why = search.start(choice.options)) {
        err(usageErrorLine(*why));
        return 2;
    }
    for (const RaisedWait &w : search.raisedWaits())
        err(QStringLiteral("korvane-cli: note: at %1 bps each probe waits %2 ms, the least a reply needs")
                .arg(w.baud).arg(w.waitMs));
    if (!report)
        loop.exec();
    if (!report)
        return 130;
    const int found = int(report->devices.size());
    if (o.json) {
        JsonFields fields{{QStringLiteral("time"), isoTime(QDateTime::currentDateTime())},
                          {QStringLiteral("command"), QStringLiteral("find")},
                          {QStringLiteral("summary"), true},
                          {QStringLiteral("devices"), found},
                          {QStringLiteral("ports"), int(report->ports.size())},
                          {QStringLiteral("probes"), report->probesDone},
                          {QStringLiteral("planned"), report->probesTotal},
                          {QStringLiteral("stopped"), report->stopped},
                          {QStringLiteral("elapsed_ms"), double(report->elapsedMs)}};
        out(jsonLine(fields));
    } else {
        out(QStringLiteral("find: %1 found, %2 of %3 probes in %4 s%5")
                .arg(found == 0 ? QStringLiteral("no device") : found == 1 ? QStringLiteral("1 device")
                                                                            : QStringLiteral("%1 devices").arg(found))
                .arg(report->probesDone)
                .arg(report->probesTotal)
                .arg(double(report->elapsedMs) / 1000.0, 0, 'f', 1)
                .arg(report->stopped && found == 0 ? QStringLiteral(" (stopped)") : QString()));
    }
    return findExitCode(*report);
}

} // namespace

int runCli(int argc, char **argv)
{
    // Read before the application object exists: help and mistakes cost
    // nothing.
    const ParsedCommandLine parsed = parseCommandLine(argumentsOf(argc, argv));
    switch (parsed.action) {
    case ParsedCommandLine::Action::Help:
        std::fputs(usageText().toUtf8().constData(), stdout);
        return 0;
    case ParsedCommandLine::Action::Version:
        std::fputs(versionText().toUtf8().constData(), stdout);
        return 0;
    case ParsedCommandLine::Action::Error:
        err(usageErrorLine(parsed.error));
        return 2;
    case ParsedCommandLine::Action::Run:
        break;
    }
    const Options &o = parsed.options;
    // The settings file is looked for beside the executable.
    QCoreApplication app(argc, argv);
    const SettingsFileChoice file = chooseSettingsFileToRead(o);
    if (!file.error.isEmpty()) {
        err(QStringLiteral("korvane-cli: ") + file.error);
        return 4;
    }
    const StoredSettings stored = readStoredSettings(file.file);
    if (o.command == Command::Find) {
        TerminationSignals terminations;
        return runFind(o, stored, terminations);
    }
    const TargetChoice choice = chooseTarget(o, stored);
    if (!choice.target) {
        err(usageErrorLine(choice.error));
        return 2;
    }
    if (o.command == Command::Number && !displayCanShow(o.number))
        err(QStringLiteral("korvane-cli: note: the display shows -99999 to 999999; %1 is sent all the same, "
                           "but the display cannot show it")
                .arg(o.number));

    TerminationSignals terminations;
    CliSession cli(*choice.target, o);
    const bool opened = cli.open();
    Run run{o, cli, {choice.target->portName, choice.target->line, choice.target->slave}, terminations, opened};
    switch (o.command) {
    case Command::Test:
        return runTest(run);
    case Command::Watch:
        return runWatch(run);
    default:
        return runCommand(run);
    }
}

} // namespace korvane::cli
