#include "window/repair_status.h"

#include <QCoreApplication>

namespace zarvion {

namespace {

QString Why(const AviRepairResult& r) {
  switch (r.status) {
    case AviRepair::kNotOurs:
      return QCoreApplication::translate("RepairStatus", "不是本程序录制的文件，未改动");
    case AviRepair::kNoFrames:
      return QCoreApplication::translate("RepairStatus", "没有完整的帧，未改动");
    case AviRepair::kSkipped:
      return QCoreApplication::translate("RepairStatus", "已跳过，未改动（%1）")
          .arg(QString::fromStdString(r.why));
    case AviRepair::kFailed:
      return QCoreApplication::translate("RepairStatus", "无法写入（磁盘已满？），未改动");
    default:
      return {};
  }
}

}  // namespace

QString RepairStatusText(const RecordingRepairNote& note) {
  const QString name = QString::fromStdString(note.name);
  switch (note.kind) {
    case RecordingRepairNote::Kind::kProgress:
      return QCoreApplication::translate("RepairStatus", "正在检查录像 %1（%2/%3）：%4%")
          .arg(name)
          .arg(note.index)
          .arg(note.files)
          .arg(note.percent);
    case RecordingRepairNote::Kind::kFile: {
      const AviRepairResult& r = note.result;
      if (r.status == AviRepair::kRepaired) {
        return QCoreApplication::translate("RepairStatus", "录像 %1 已修复（%2 帧）")
            .arg(name)
            .arg(r.frames);
      }
      if (r.status == AviRepair::kCopied || r.status == AviRepair::kCopyExists) {
        return QCoreApplication::translate("RepairStatus",
                                           "录像 %1 已损坏，原文件保留，完好的帧在 %2")
            .arg(name, QString::fromStdString(r.copy));
      }
      return QCoreApplication::translate("RepairStatus", "录像 %1 %2").arg(name, Why(r));
    }
    case RecordingRepairNote::Kind::kFinished:
      // The last word stays in the status bar: it keeps the files left alone.
      if (note.unrepaired > 0) {
        return QCoreApplication::translate("RepairStatus", "录像检查完毕：修复 %1 个，%2 个未改动")
            .arg(note.repaired)
            .arg(note.unrepaired);
      }
      if (note.repaired == 0) return {};
      return QCoreApplication::translate("RepairStatus", "录像检查完毕：修复 %1 个")
          .arg(note.repaired);
  }
  return {};
}

}  // namespace zarvion
