#include "app/repair_controller.h"

#include <QFileInfo>
#include <QLineEdit>
#include <QProgressBar>
#include <QTabWidget>

#include <optional>

#include "app/job_runner.h"
#include "app/main_window_layout.h"
#include "app/messages.h"
#include "app/remaining_time.h"
#include "app/window_texts.h"
#include "pst/repair.h"
#include "io/errors.h"
#include "sources/open_source.h"

namespace kestrix::app {

struct RepairController::Output {
  std::string input, output;
  pst::RepairReport report;
  std::optional<Message> error;  // why the job failed
};

RepairController::RepairController(const WindowContext& context, SaveFolder& saveFolder)
    : QObject(context.window), m_context(context), m_saveFolder(saveFolder) {}

void RepairController::Button6Click() {
  const QString path = m_context.dialogs.openFile(m_context.window, QString());
  if (!path.isEmpty()) m_context.ui.repairProgramEdit->setText(path);
}

void RepairController::Button8Click() { m_context.runner.stop(JobRunner::StopFlag::Repair); }

void RepairController::Button7Click() {
  JobRunner& runner = m_context.runner;
  if (runner.running()) return;
  const QString input = m_context.dialogs.openFile(m_context.window, WindowTexts::pstFilter());
  if (input.isEmpty()) return;
  const QFileInfo in(input);
  const QString output = m_context.dialogs.saveFile(
      m_context.window, WindowTexts::pstFilter(), m_saveFolder.suggest(in.completeBaseName() + tr("_修复.pst"), in.absolutePath()));
  if (output.isEmpty()) return;
  m_saveFolder.remember(output);
  std::shared_ptr<scan::ByteSource> src;
  try {
    src = sources::openSource(s(input));
  } catch (const std::exception& e) {
    m_context.error(errorText(e, s(input)));
    return;
  }
  QProgressBar* pr = m_context.ui.repairGauge;
  m_context.ui.stepTabs->setCurrentIndex(kRepairTab);
  pr->setRange(0, 100);
  pr->setValue(0);
  auto out = std::make_shared<Output>();
  out->input = s(input);
  out->output = s(output);
  const std::atomic<bool>& stop = runner.stopFlag(JobRunner::StopFlag::Repair);
  // The engine refuses an output that is the input or lies on it; the refusal is shown.
  runner.start(
      JobRunner::StopFlag::Repair,
      [src, out, &stop](const Worker::Report& report) {
        try {
          pst::StructureScanOptions options;
          options.progress = [&](const pst::StructureProgress& p) { report(0, p.done, p.total); };
          out->report = pst::repairFile(*src, out->output, stop, options);
        } catch (const std::exception& e) {
          out->error = messageOf(e, out->input);
        }
      },
      [pr](int, qint64 done, qint64 total) {
        const int shift = GaugeShift(total);
        pr->setRange(0, std::max(1, GaugeUnits(total, shift)));
        pr->setValue(std::min(pr->maximum(), GaugeUnits(done, shift)));
      },
      [this, out] { repairDone(*out); });
}

void RepairController::repairDone(const Output& out) {
  const pst::RepairReport& r = out.report;
  // A file written leaves the gauge full; a failure or a stop empties it.
  QProgressBar* pr = m_context.ui.repairGauge;
  pr->setValue(out.error || r.stopped ? 0 : pr->maximum());
  if (m_context.runner.closing()) {
    emit repairFinished();
    return;
  }
  const QString output = q(out.output);
  if (out.error) {
    m_context.error(messageText(*out.error));
  } else if (r.stopped) {
    m_context.information(WindowTexts::stoppedNotWritten(output));
  } else if (r.unchanged) {
    m_context.information(tr("\"%1\" 完好, 已原样复制到 \"%2\"\n%3").arg(q(out.input), output, WindowTexts::mail(r.after)));
  } else if (r.before.sound() && r.slackCut > 0) {
    m_context.information(tr("\"%1\" 完好, 已截去声明的文件末尾之后的 %2 字节残余数据, 其余原样复制到 \"%3\"\n%4")
                              .arg(q(out.input))
                              .arg(r.slackCut)
                              .arg(output, WindowTexts::mail(r.after)));
  } else {
    // What was wrong before is said first: a file no mail program could open is not one whose
    // messages were merely "readable".
    QString text = tr("修复完成! 已写入 \"%1\"\n修复后: %2\n修复前: %3 (%4)")
                       .arg(output, WindowTexts::mail(r.after), WindowTexts::damage(r.before), WindowTexts::mail(r.before));
    if (r.headerRebuilt) text += tr("\n文件头已重建");
    if (r.slackCut > 0) text += tr("\n已截去声明的文件末尾之后的残余数据 (字节): %1").arg(r.slackCut);
    if (r.after.mapsLost > 0) text += tr("\n%1 个分配表页已丢失, 已标记为待重建").arg(r.after.mapsLost);
    if (r.orphansMoved > 0) {
      QString folder;
      for (const pst::FolderReport& f : r.after.folders)
        if (f.nid == r.orphanFolder) folder = QString::fromUtf8(f.name.c_str());
      text += tr("\n%1 项所在的文件夹已丢失, 已放入 \"%2\"").arg(r.orphansMoved).arg(folder);
    }
    // A repaired file that still is not sound is no success to be waved through.
    if (r.after.sound()) {
      m_context.information(text);
    } else {
      m_context.warning(text + tr("\n修复后仍有问题: %1").arg(WindowTexts::damage(r.after)));
    }
  }
  emit repairFinished();
}

}  // namespace kestrix::app
