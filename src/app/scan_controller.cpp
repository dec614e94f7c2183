#include "app/scan_controller.h"

#include <QLabel>
#include <QProgressBar>
#include <QTabWidget>

#include <algorithm>
#include <mutex>
#include <optional>

#include "app/disk_access.h"
#include "app/job_runner.h"
#include "app/main_window_layout.h"
#include "app/messages.h"
#include "app/source_controller.h"
#include "app/window_texts.h"
#include "recover/list_rules.h"
#include "recover/recover_job.h"
#include "recover/source_analysis.h"
#include "recover/source_map.h"
#include "io/errors.h"
#include "format/layout.h"
#include "format/map_page.h"
#include "scan/scan.h"
#include "widgets/hit_list_model.h"
#include "widgets/sort_list_view.h"
#include "widgets/source_map_view.h"

namespace kestrix::app {

namespace {

// The work's phases, as the gauge names them.
enum Phase { kScanPhase = 0, kPreviewPhase = 1 };
// Hits held for the map between two progress reports; past this the map misses some marks
// until the results replace them.
constexpr std::size_t kMaxPendingHits = std::size_t(1) << 20;

}  // namespace

struct ScanController::Output {
  std::string sourceName;
  std::int64_t size = 0;  // the source's length when the scan started
  rebuild::SourceAnalysis analysis;
  std::vector<rebuild::FileListRow> fileRows;
  std::vector<std::optional<rebuild::FilePreview>> previews;  // one per file; none for a stray piece
  std::optional<Message> error;  // why the job failed
  // The sectors of the map pages found since the last progress report, for the live map.
  std::mutex hitsLock;
  std::vector<std::int64_t> pendingHits;
};

ScanController::ScanController(const WindowContext& context, SourceController& source)
    : QObject(context.window), m_context(context), m_source(source) {}

void ScanController::clearResults() {
  MainWindowLayout& ui = m_context.ui;
  ui.foundPageModel->clear();
  ui.fragmentList->clear();
  ui.fileList->clear();
  m_context.runner.results = {};
  ui.fragmentCountLabel->setText(MainWindowLayout::fragmentCountText());  // the count goes with the lists
  ui.scanGauge->setFormat("%p%");
  ui.scanSummaryLabel->clear();
  ui.sourceMap->setSource(m_source.size());
  ui.resultTabs->setTabVisible(2, false);
  ui.resultTabs->setCurrentIndex(1);
  showSourceSize();
}

void ScanController::showSourceSize() {
  const std::int64_t size = m_source.size();
  if (m_source.path().empty()) {
    m_context.ui.sourceSizeLabel->clear();
    return;
  }
  const QString text = tr("大小: %1 (%2 字节)").arg(WindowTexts::byteSize(size)).arg(size);
  // An image in a container: the size is its disk's, and the format is named.
  m_context.ui.sourceSizeLabel->setText(m_source.format().empty()
                                            ? text
                                            : tr("%1 镜像, %2").arg(QString::fromStdString(m_source.format()), text));
}

void ScanController::Button1Click() {
  JobRunner& runner = m_context.runner;
  if (runner.running()) return;
  clearResults();
  std::shared_ptr<scan::ByteSource> src;
  try {
    src = m_source.open();  // the length as it is now, not as it was when the source was chosen
  } catch (const std::exception& e) {
    m_context.error(sourceErrorText(e));
    return;
  }
  const std::int64_t size = m_source.size();
  showSourceSize();
  runner.setGauge(0, size);
  auto out = std::make_shared<Output>();
  out->sourceName = m_source.path();
  out->size = size;
  const std::atomic<bool>& stop = runner.stopFlag(JobRunner::StopFlag::Scan);
  ui().sourceMap->setSource(size);
  runner.start(
      JobRunner::StopFlag::Scan,
      [src, out, size, &stop](const Worker::Report& report) {
        try {
          rebuild::AnalysisOptions options;
          options.size = size;
          options.chunkSize = scan::kChunkSize;
          options.keepHits = true;  // for the found-page view
          options.onHit = [&out = *out](const scan::FoundPage& hit) {
            const std::lock_guard lock(out.hitsLock);
            if (out.pendingHits.size() < kMaxPendingHits) out.pendingHits.push_back(hit.sector);
          };
          out->analysis = rebuild::analyzeSource(*src, options, stop,
                                                 [&](const scan::ScanProgress& p) { report(0, p.done, p.total); });
          for (const auto& file : out->analysis.files) out->fileRows.push_back(rebuild::MakeFileListRow(file));
          out->previews = previewMailboxes(*src, out->analysis, stop,
                                           [&](const rebuild::PreviewProgress& p) { report(kPreviewPhase, p.done, p.total); });
        } catch (const std::exception& e) {
          out->analysis = {};
          out->fileRows.clear();
          out->previews.clear();
          out->error = messageOf(e, src->name());
        }
      },
      [this, out](int phase, qint64 done, qint64 total) {
        if (phase == kPreviewPhase) {
          ui().scanGauge->setFormat(tr("读取文件的索引 %1/%2").arg(done).arg(total));
          return;
        }
        m_context.runner.advanceGauge(done, total);
        std::vector<std::int64_t> hits;
        {
          const std::lock_guard lock(out->hitsLock);
          hits.swap(out->pendingHits);
        }
        ui().sourceMap->addHits(hits);
        ui().sourceMap->setScanned(done);
      },
      [this, out] { scanDone(*out); });
}

QString ScanController::summaryText(const rebuild::SourceAnalysis& a, bool whole) {
  std::int64_t owned = 0;
  for (const rebuild::AssembledFile& f : a.files) owned += f.headerHasMagic ? 1 : 0;
  QString text = (whole ? tr("扫描完成: ") : tr("扫描未完成: ")) +
                 tr("读取 %1, 找到 %2 个碎片, 拼出 %3 个文件 (%4 个有自己的文件头), 无法读取的扇区 %5 个")
                     .arg(WindowTexts::byteSize(a.scan.bytesRead))
                     .arg(a.fragments.size())
                     .arg(a.files.size())
                     .arg(owned)
                     .arg(a.scan.unreadableSectors());
  for (const std::string& missing : a.scan.missingFiles)
    text += tr(". 镜像的分段文件 \"%1\" 不存在: 它和其后分段中的数据无法读取").arg(QString::fromStdString(missing));
  // Headers of versions no layout is known for are said, never passed over.
  if (!a.scan.index.otherHeaders.empty()) {
    const scan::OtherHeader& h = a.scan.index.otherHeaders.front();
    text += tr(". 另有 %1 个未知版本的 PST 文件头, 第一个在扇区 %2 (版本 %3)")
                .arg(a.scan.index.otherHeaders.size())
                .arg(h.offset / 512)
                .arg(h.version);
  }
  if (!a.files.empty()) text += tr(". 在 文件 列表中勾选要恢复的文件, 然后点 \"%1\"").arg(MainWindowLayout::recoverFilesText());
  return text;
}

// An empty source and a source that holds no PST file are told apart.
QString ScanController::nothingFoundText(const rebuild::SourceAnalysis& a, const std::string& source) {
  const auto& zeros = a.scan.index.zeros.zero;
  const bool allZero = !zeros.empty() && std::all_of(zeros.begin(), zeros.end(), [](bool z) { return z; });
  if (allZero) return tr("未找到碎片: 数据源 \"%1\" 只有零 (空白或已被清零)").arg(q(source));
  return tr("未找到碎片: 数据源 \"%1\" 上没有 PST 文件的分配映射页 (读取了 %2)").arg(q(source), WindowTexts::byteSize(a.scan.bytesRead));
}

// What each file's own index says (rebuild::previewFiles), for the files that are mailboxes
// rather than stray map pages; after a stop, for the files previewed before it.
std::vector<std::optional<rebuild::FilePreview>> ScanController::previewMailboxes(
    scan::ByteSource& src, const rebuild::SourceAnalysis& analysis, const std::atomic<bool>& stop,
    const rebuild::PreviewProgressFn& progress) {
  std::vector<std::optional<rebuild::FilePreview>> previews(analysis.files.size());
  if (analysis.filesStopped) return previews;
  std::vector<rebuild::AssembledFile> mailboxes;
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i < analysis.files.size(); ++i)
    if (!rebuild::isStrayPiece(analysis.files[i], analysis.fragments)) {
      mailboxes.push_back(analysis.files[i]);
      at.push_back(i);
    }
  std::vector<rebuild::FilePreview> found =
      rebuild::previewFiles(src, analysis.fragments, mailboxes, &analysis.scan.index, stop, progress);
  for (std::size_t k = 0; k < found.size(); ++k) previews[at[k]] = std::move(found[k]);
  return previews;
}

void ScanController::Button2Click() { m_context.runner.stop(JobRunner::StopFlag::Scan); }

void ScanController::scanDone(Output& out) {
  MainWindowLayout& ui = m_context.ui;
  rebuild::SourceAnalysis& found = out.analysis;
  // The gauge stays where the scan ended: full and "扫描完成" after a whole pass.
  const bool stopped = found.scan.stopped;
  const bool whole = !out.error && !stopped;
  QProgressBar* gg = ui.scanGauge;
  if (whole) gg->setValue(gg->maximum());
  gg->setFormat(whole ? tr("扫描完成 %p%") : stopped ? tr("已停止 %p%") : QString("%p%"));
  ui.foundPageModel->setHits(std::make_shared<const scan::FoundPageList>(std::move(found.scan.hits)));
  // Fragments no file uses, or that two files use, are marked: the user should look at them.
  const std::vector<std::vector<std::int32_t>> users = rebuild::filesOfFragments(found.fragments, found.files);
  ui.fragmentList->setUpdatesEnabled(false);
  for (std::size_t i = 0; i < found.rows.size(); ++i) {
    const scan::FragmentRow& row = found.rows[i];
    QTreeWidgetItem* item = ui.fragmentList->addRow({q(row.id), q(row.start), q(row.end), q(row.size), q(row.fileSize)});
    if (found.filesStopped || i >= users.size() || users[i].size() == 1) continue;
    QStringList numbers;
    for (const std::int32_t n : users[i]) numbers << QString::number(n);
    item->setToolTip(0, users[i].empty() ? tr("没有文件使用这个碎片") : tr("%1 个文件使用这个碎片: %2").arg(users[i].size()).arg(numbers.join(", ")));
    for (int c = 0; c < item->columnCount(); ++c)
      item->setForeground(c, users[i].empty() ? QColor(128, 128, 128) : QColor(176, 0, 0));
  }
  ui.fragmentList->setUpdatesEnabled(true);
  if (!found.rows.empty()) ui.fragmentCountLabel->setText(tr("碎片: %1").arg(ui.fragmentList->rowCount()));
  found.rows.clear();  // in the list now
  const auto kept = std::make_shared<const rebuild::SourceAnalysis>(std::move(found));
  m_context.runner.results = {out.sourceName, kept, std::move(out.previews)};
  const rebuild::SourceAnalysis& analysis = *kept;
  const auto& previews = m_context.runner.results.previews;
  {
    // Filling the list selects no file: the fragments of a file are checked when the user picks it.
    const QSignalBlocker quiet(ui.fileList);
    for (std::size_t i = 0; i < out.fileRows.size(); ++i) {
      const rebuild::FileListRow& row = out.fileRows[i];
      QTreeWidgetItem* item = ui.fileList->addRow(
          {q(row.number), q(row.name), q(row.size), WindowTexts::fileListMissing(row.missing), q(row.fragments)});
      WindowTexts::previewCells(item, i < previews.size() && previews[i] ? &*previews[i] : nullptr);
      if (i < analysis.files.size()) WindowTexts::layoutCell(item, analysis.files[i].layout);
    }
  }
  ui.sourceMap->setResults(std::shared_ptr<const std::vector<scan::Fragment>>(kept, &kept->fragments),
                           users, kept->scan.unreadable,
                           std::shared_ptr<const scan::ZeroMap>(kept, &kept->scan.index.zeros));
  ui.resultTabs->setTabVisible(2, true);
  ui.scanSummaryLabel->setText(summaryText(analysis, whole));
  // The files are what the user came for: their list comes forward once there are any.
  if (!analysis.files.empty()) ui.resultTabs->setCurrentIndex(2);
  if (!m_context.runner.closing()) {
    if (out.error) m_context.error(messageText(*out.error));
    if (analysis.scan.endedAt >= 0)
      m_context.error(tr("数据源 \"%1\" 在扫描时变短了: 打开时为 %2 字节, 读到第 %3 字节时已结束. 列出的是此前找到的碎片")
                          .arg(q(out.sourceName))
                          .arg(out.size)
                          .arg(analysis.scan.endedAt));
    if (!analysis.scan.unreadable.empty())
      m_context.information(tr("有 %1 个扇区无法读取, 已跳过 (\"%2\"): %3")
                                .arg(WindowTexts::sectorCount(analysis.scan.unreadable), q(out.sourceName),
                                     q(scan::describeSectorRuns(analysis.scan.unreadable))));
    if (whole && analysis.fragments.empty()) m_context.information(nothingFoundText(analysis, out.sourceName));
  }
  emit scanFinished();
}

}  // namespace kestrix::app
