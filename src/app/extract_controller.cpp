#include "app/extract_controller.h"

#include <QProgressBar>
#include <QTabWidget>

#include <algorithm>
#include <optional>

#include "app/job_runner.h"
#include "app/main_window_layout.h"
#include "app/messages.h"
#include "app/remaining_time.h"
#include "app/source_controller.h"
#include "app/window_texts.h"
#include "recover/extract.h"
#include "recover/list_rules.h"
#include "recover/recover_job.h"
#include "io/errors.h"
#include "format/map_page.h"
#include "sources/source_picker.h"
#include "widgets/sort_list_view.h"

namespace kestrix::app {

namespace {

rebuild::RangeCells cellsOf(const QTreeWidgetItem* item) { return {s(item->text(1)), s(item->text(2))}; }

// The sector extents of rows; throws when a row's cells are no sector range.
std::vector<rebuild::SectorExtent> extentsOf(const QList<QTreeWidgetItem*>& rows) {
  std::vector<rebuild::SectorExtent> extents;
  for (const QTreeWidgetItem* row : rows) extents.push_back(rebuild::RangeCellsExtent(cellsOf(row)));
  return extents;
}

}  // namespace

struct ExtractController::Output {
  std::string source;  // the source read
  std::string output;
  std::optional<Message> error;  // why the job failed
  bool stopped = false;
  std::int64_t bytes = 0, intervals = 0, missing = 0, sectorsPastEnd = 0;
  std::vector<scan::SectorRun> unreadable;
  std::vector<rebuild::IdConflict> conflicts;  // 恢复文件: IDs another version could have served
  QString fileNumber;                          // 恢复文件: the 序号 of the FileList row
  std::optional<pst::CheckedOutput> checked;   // 恢复文件: what the check of the file found
  std::optional<rebuild::FileEvidence> evidence;  // 恢复文件: what the evidence proves of it
};

ExtractController::ExtractController(const WindowContext& context, const sources::Catalogue& catalogue,
                                     SourceController& source, SaveFolder& saveFolder)
    : QObject(context.window), m_context(context), m_catalogue(catalogue), m_source(source), m_saveFolder(saveFolder) {}

void ExtractController::N7Click() {
  widgets::SortListView* blocks = m_context.ui.fragmentList;
  QList<QTreeWidgetItem*> rows;
  for (int i = 0; i < blocks->rowCount(); ++i)
    if (blocks->row(i)->checkState(0) == Qt::Checked) rows << blocks->row(i);
  if (rows.isEmpty()) {
    m_context.information(blocks->rowCount() == 0 ? WindowTexts::listEmpty() : tr("请先勾选要恢复的碎片!"));
    return;
  }
  try {
    if (confirmSharedIds(rows)) startExtraction(extentsOf(rows));
  } catch (const std::exception& e) {
    m_context.error(errorText(e, m_context.runner.results.source));
  }
}

void ExtractController::N9Click() {
  widgets::SortListView* manual = m_context.ui.manualList;
  QList<QTreeWidgetItem*> rows;
  for (int i = 0; i < manual->rowCount(); ++i) rows << manual->row(i);
  if (rows.isEmpty()) {
    m_context.information(WindowTexts::listEmpty());
    return;
  }
  try {
    if (confirmSharedIds(rows)) startExtraction(extentsOf(rows));
  } catch (const std::exception& e) {
    m_context.error(errorText(e, m_context.runner.results.source));
  }
}

// Fragments that hold the same IDs are pieces of two mailboxes or two versions of one: 重组
// keeps one interval of each ID. The user hears which before anything is written.
bool ExtractController::confirmSharedIds(const QList<QTreeWidgetItem*>& rows) {
  std::vector<rebuild::RangeCells> cells;
  for (const QTreeWidgetItem* row : rows) cells.push_back(cellsOf(row));
  const auto shared = rebuild::SharedIdRanges(cells);
  if (shared.empty()) return true;
  QStringList runs;
  for (std::size_t i = 0; i < shared.size() && i < 8; ++i)
    runs << (shared[i].first == shared[i].second ? QString::number(shared[i].first)
                                                 : QString("%1-%2").arg(shared[i].first).arg(shared[i].second));
  if (shared.size() > 8) runs << "...";
  return m_context.dialogs.question(
      m_context.window,
      tr("所选的碎片中有 ID 重复 (%1): 它们可能来自两个邮箱, 或同一文件的两个版本. 重组时每个 ID 只保留一个区间. 仍要写入吗?")
          .arg(runs.join(", ")));
}

void ExtractController::startExtraction(const std::vector<rebuild::SectorExtent>& extents) {
  if (m_context.runner.running()) return;
  const std::string& scanned = m_context.runner.results.source;
  const std::string sourceName = scanned.empty() ? m_source.path() : scanned;
  // The sectors as they stand on the source: no PST file, so no PST name or filter.
  const QString output = m_context.dialogs.saveFile(m_context.window, WindowTexts::fragmentFilter(),
                                                    m_saveFolder.suggest(tr("碎片.bin")));
  if (output.isEmpty()) return;
  m_saveFolder.remember(output);
  std::int64_t bytes = 0;
  for (const rebuild::SectorExtent& e : extents) bytes += (e.end - e.first) * 512;
  startSourceWrite(sourceName, output, bytes, false,
                   [extents](scan::ByteSource& src, const std::string& path, const std::atomic<bool>& stop,
                             const WriteProgress& progress, Output& out) {
                     const rebuild::ExtractResult r = rebuild::extractToFile(
                         src, extents, path, stop, [&](const rebuild::ExtractProgress& p) { progress(0, p.done, p.total); });
                     out.stopped = r.stopped;
                     out.bytes = r.bytesWritten;
                     out.intervals = r.intervalsWritten;
                     out.unreadable = r.unreadable;
                     out.sectorsPastEnd = r.sectorsPastEnd;
                   });
}

void ExtractController::N1Click() {
  JobRunner& runner = m_context.runner;
  widgets::SortListView* files = m_context.ui.fileList;
  if (runner.running()) return;
  if (files->rowCount() == 0) {
    m_context.information(WindowTexts::listEmpty());
    return;
  }
  QTreeWidgetItem* item = files->currentItem();
  if (!item && !files->selectedItems().isEmpty()) item = files->selectedItems().first();
  if (!item) {
    m_context.information(tr("请先选择一个文件!"));
    return;
  }
  const auto number = scan::TextToInt32(s(item->text(kFileNumber)));
  const ScanResults& found = runner.results;
  const std::vector<rebuild::AssembledFile> none;
  const std::vector<rebuild::AssembledFile>& all = found.analysis ? found.analysis->files : none;
  const auto file = std::find_if(all.begin(), all.end(),
                                 [&](const rebuild::AssembledFile& f) { return number && f.number == *number; });
  if (file == all.end()) {
    m_context.information(WindowTexts::listEmpty());
    return;
  }
  const QString output =
      m_context.dialogs.saveFile(m_context.window, WindowTexts::pstFilter(), m_saveFolder.suggest(q(file->fileName)));
  if (output.isEmpty() || !WindowTexts::confirmRawReplace(m_context.dialogs, m_context.window, output)) return;
  m_saveFolder.remember(output);
  // The gauge counts the writing and the check of as many bytes; a repair adds its own.
  startSourceWrite(found.source, output, 2 * file->outputSize(), true,
                   [file = *file, analysis = found.analysis,
                    number = item->text(kFileNumber)](scan::ByteSource& src, const std::string& path,
                                                       const std::atomic<bool>& stop, const WriteProgress& progress,
                                                       Output& out) {
                     rebuild::RecoverRequest request;
                     request.targets.push_back({file, path});
                     request.index = &analysis->scan.index;
                     StageGauge gauge(file.outputSize());
                     const rebuild::RecoverOutcome done = rebuild::recoverFiles(
                         src, analysis->fragments, request, stop, [&](std::size_t, const rebuild::RecoverProgress& p) {
                           gauge.update(int(p.stage), p.done, p.total);
                           progress(int(p.stage), gauge.done(), gauge.total());
                         });
                     out.stopped = done.stopped;
                     out.fileNumber = number;
                     if (!done.stopped && !done.checked.empty()) {
                       out.checked = done.checked.front();
                       out.evidence = done.evidence.front();
                     }
                     if (done.results.empty()) return;
                     const rebuild::RecoverResult& r = done.results.front();
                     out.bytes = r.size;
                     out.intervals = r.intervalsWritten;
                     out.missing = r.intervalsMissing;
                     out.unreadable = r.unreadable;
                     out.sectorsPastEnd = r.sectorsPastEnd;
                     out.conflicts = file.conflicts;
                   });
}

void ExtractController::startSourceWrite(const std::string& sourceName, const QString& output, std::int64_t size,
                                         bool stages, SourceWrite write) {
  std::shared_ptr<scan::ByteSource> src;
  try {
    src = sources::openSourceByName(m_catalogue, sourceName);
  } catch (const std::exception& e) {
    m_context.error(errorText(e, sourceName));
    return;
  }
  JobRunner& runner = m_context.runner;
  QProgressBar* gg = m_context.ui.scanGauge;
  m_context.ui.stepTabs->setCurrentIndex(kSourceTab);  // the gauge and 停止 of tab 1 follow the run
  gg->setFormat("%p%");
  runner.setGauge(0, size);
  auto out = std::make_shared<Output>();
  out->source = sourceName;
  out->output = s(output);
  const std::atomic<bool>& stop = runner.stopFlag(JobRunner::StopFlag::Scan);
  runner.start(
      JobRunner::StopFlag::Scan,
      [src, out, write = std::move(write), &stop](const Worker::Report& report) {
        try {
          write(*src, out->output, stop, [&](int stage, std::int64_t done, std::int64_t total) { report(stage, done, total); },
                *out);
        } catch (const std::exception& e) {
          out->error = messageOf(e, src->name());
        }
      },
      [this, gg, stages](int stage, qint64 done, qint64 total) {
        m_context.runner.advanceGauge(done, total);
        if (stages) gg->setFormat(stage == 0 ? tr("写入 %p%") : stage == 1 ? tr("检查 %p%") : tr("修复 %p%"));
      },
      [this, out] { extractDone(*out); });
}

void ExtractController::extractDone(const Output& out) {
  // A file written leaves the gauge full and saying so; a failure or a stop empties it.
  QProgressBar* gg = m_context.ui.scanGauge;
  const bool written = !out.error && !out.stopped;
  gg->setValue(written ? gg->maximum() : 0);
  gg->setFormat(written ? tr("完成 %p%") : QString("%p%"));
  if (m_context.runner.closing()) {
    emit extractFinished();
    return;
  }
  if (out.error) {
    m_context.error(messageText(*out.error));
    emit extractFinished();
    return;
  }
  const QString path = q(out.output);
  // Anything short of a file proved whole is said with a warning, not waved through as done.
  const bool troubled =
      !out.stopped &&
      (out.missing > 0 || !out.unreadable.empty() || out.sectorsPastEnd > 0 || !out.conflicts.empty() ||
       (out.checked && (out.checked->repaired || !out.checked->notRepaired.empty())) ||
       (out.evidence && out.evidence->state != rebuild::FileEvidence::State::Whole));
  QString text;
  if (out.stopped)
    text = WindowTexts::stoppedNotWritten(path);
  else {
    // Which source the bytes came from: the one scanned, whatever the box shows now.
    text = tr("数据源: \"%1\"\n").arg(q(out.source));
    text += (troubled ? tr("已写入, 但结果不完整! ") : tr("完成! ")) +
           tr("\"%1\" (%2): 写入 %3 个区间").arg(path, WindowTexts::byteSize(out.bytes)).arg(out.intervals);
    if (out.missing > 0) text += tr(", 缺少 %1 个区间 (已留为零)").arg(out.missing);
  }
  if (!out.stopped) {
    if (!out.unreadable.empty())
      text += tr("\n有 %1 个扇区无法读取, 已写为零: %2")
                  .arg(WindowTexts::sectorCount(out.unreadable), q(scan::describeSectorRuns(out.unreadable)));
    if (out.sectorsPastEnd > 0) text += tr("\n其中 %1 个扇区超出数据源末尾").arg(out.sectorsPastEnd);
    if (!out.conflicts.empty()) {
      text += tr("\n%1: 文件可能混有两个版本").arg(WindowTexts::twoVersions());
      text += "\n" + WindowTexts::conflicts(out.conflicts);
    }
    if (out.checked) {
      const bool whole = !out.evidence || out.evidence->state == rebuild::FileEvidence::State::Whole;
      text += "\n" + WindowTexts::checked(*out.checked, false, whole);
      if (out.evidence) text += "\n" + WindowTexts::evidence(*out.evidence);
      widgets::SortListView* files = m_context.ui.fileList;
      for (int i = 0; i < files->rowCount(); ++i)
        if (files->row(i)->text(kFileNumber) == out.fileNumber)
          files->row(i)->setText(kFileMail, WindowTexts::mailCell(*out.checked, out.evidence ? &*out.evidence : nullptr));
    }
  }
  if (troubled)
    m_context.warning(text);
  else
    m_context.information(text);
  emit extractFinished();
}

}  // namespace kestrix::app
