#include "window/repair_status.h"

namespace zarvion {

namespace {

QString Why(const AviRepairResult& r) {
  switch (r.status) {
    case AviRepair::kNotOurs:
      return QStringLiteral("不是本程序录制的文件，未改动");
    case AviRepair::kNoFrames:
      return QStringLiteral("没有完整的帧，未改动");
    case AviRepair::kSkipped:
      return QStringLiteral("已跳过，未改动（%1）").arg(QString::fromStdString(r.why));
    case AviRepair::kFailed:
      return QStringLiteral("无法写入（磁盘已满？），未改动");
    default:
      return {};
  }
}

}  // namespace

QString RepairStatusText(const RecordingRepairNote& note) {
  const QString name = QString::fromStdString(note.name);
  switch (note.kind) {
    case RecordingRepairNote::Kind::kProgress:
      return QStringLiteral("正在检查录像 %1（%2/%3）：%4%")
          .arg(name)
          .arg(note.index)
          .arg(note.files)
          .arg(note.percent);
    case RecordingRepairNote::Kind::kFile: {
      const AviRepairResult& r = note.result;
      if (r.status == AviRepair::kRepaired) {
        return QStringLiteral("录像 %1 已修复（%2 帧）").arg(name).arg(r.frames);
      }
      if (r.status == AviRepair::kCopied || r.status == AviRepair::kCopyExists) {
        return QStringLiteral("录像 %1 已损坏，原文件保留，完好的帧在 %2")
            .arg(name, QString::fromStdString(r.copy));
      }
      return QStringLiteral("录像 %1 %2").arg(name, Why(r));
    }
    case RecordingRepairNote::Kind::kFinished:
      // The last word stays in the status bar: it keeps the files left alone.
      if (note.unrepaired > 0) {
        return QStringLiteral("录像检查完毕：修复 %1 个，%2 个未改动")
            .arg(note.repaired)
            .arg(note.unrepaired);
      }
      if (note.repaired == 0) return {};
      return QStringLiteral("录像检查完毕：修复 %1 个").arg(note.repaired);
  }
  return {};
}

}  // namespace zarvion
