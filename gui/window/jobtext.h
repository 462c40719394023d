#pragma once

#include <QString>

#include "download/job.h"
#include "download/jobprogress.h"

// The words the window, its rows and the tray use for a job: one place, so
// that the row, the lines under it, the tray's tip and its messages never
// tell different stories. Plain text; where a view shows rich text, it
// escapes.
namespace JobText {

// Validate: an update of a card that already had the service's build.
enum class Kind { Download, Update, Validate, Verify };

// The line above the status: "Downloading Data", "Paused", "Verifying Card",
// "Download Complete", ...
QString stage(const Job &job, Kind kind);
// The line under it: what to do now, the rate and time left, or why it
// stopped; retryMs: when the job tries again by itself (-1: it does not);
// cardBack: the card a job paused for is in its reader again.
QString status(const Job &job, Kind kind, qint64 retryMs = -1, bool cardBack = false);
// "1.2 MB/s - 3 minutes left"; empty until the rate is known.
QString rate(const JobProgress &progress);
// " 45 seconds", " 1 hour 5 minutes" (as the tool always said it).
QString timeLeft(qint64 seconds);
// "5 seconds" below a minute, whole minutes ("1 minutes") from there on.
QString duration(qint64 elapsedMs);
// The tray's tip while the job runs.
QString trayTip(const Job &job, Kind kind);
// For the message box and the notice at the end: title and body.
QString endTitle(const Job &job, Kind kind, qint64 elapsedMs);
QString endMessage(const Job &job, Kind kind);
// A job's errors as one text, one line per file; no markup.
QString errorList(const Job &job);

} // namespace JobText
