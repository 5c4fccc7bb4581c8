#pragma once

#include <QString>

enum class Verdict { FirstStart, WorksNormally, HungOrNotRunning };

constexpr unsigned long checkIntervalMs = 40000;

// The heartbeat file's modification time as "HH:mm:ss" in local time, or
// its virtualized copy's where that is newer (heartbeat.h); empty when
// neither is there or its time cannot be read.
QString heartbeatStamp(const QString &fileName);

Verdict decideVerdict(const QString &currentStamp, const QString &previousStamp, bool firstPass);

// One pass of the supervision loop without its pause: samples "is_run.txt",
// recovers the watched program when it has hung, then logs the stamp and
// reports the verdict and the recovery. previousStamp takes the new stamp
// whatever the verdict.
Verdict superviseOnce(QString &previousStamp, bool firstPass);
