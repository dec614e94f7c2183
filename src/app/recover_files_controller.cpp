#include "app/recover_files_controller.h"

#include <QFileInfo>
#include <QDir>
#include <QProgressBar>
#include <QTabWidget>

#include <optional>

#include "app/job_runner.h"
#include "app/main_window_layout.h"
#include "app/messages.h"
#include "app/window_texts.h"
#include "build_info.h"
#include "io/storage.h"
#include "recover/recover_job.h"
#include "scan/fragments.h"
#include "sources/source_picker.h"
#include "widgets/sort_list_view.h"

namespace kestrix::app {

namespace {

constexpr const char* kSummaryName = "summary.txt";
constexpr int kNamesShown = 12;  // files named in the question before writing; the rest are counted

bool whole(const rebuild::FolderWriteResult& run, std::size_t k) {
  return k < run.written.evidence.size() && run.written.evidence[k].state == rebuild::FileEvidence::State::Whole &&
         run.written.checked[k].failed == pst::CheckedOutput::Failed::None;
}

// What the run wrote and what each file holds and lacks: the end message, and summary.txt.
QString runText(std::span<const rebuild::AssembledFile> files, const rebuild::FolderWriteResult& run,
                const QString& source, const QString& folder) {
  QStringList lines;
  lines << QCoreApplication::translate("RecoverFilesController", "数据源: \"%1\"").arg(source)
        << QCoreApplication::translate("RecoverFilesController", "文件夹: \"%1\"").arg(folder);
  for (std::size_t k = 0; k < run.chosen.size() && k < run.written.results.size(); ++k) {
    const rebuild::AssembledFile& f = files[run.chosen[k]];
    const rebuild::RecoverResult& result = run.written.results[k];
    QString line = QString("\n%1 (%2): ").arg(q(f.fileName), WindowTexts::byteSize(result.size));
    if (k < run.written.checked.size()) {
      const rebuild::FileEvidence& e = run.written.evidence[k];
      line += WindowTexts::checked(run.written.checked[k], false, e.state == rebuild::FileEvidence::State::Whole);
      line += "\n" + WindowTexts::evidence(e);
    }
    if (result.intervalsMissing > 0)
      line += QCoreApplication::translate("RecoverFilesController", "\n缺少 %1 个区间 (已留为零)").arg(result.intervalsMissing);
    if (!f.conflicts.empty())
      line += QCoreApplication::translate("RecoverFilesController", "\n%1: 文件可能混有两个版本\n%2")
                  .arg(WindowTexts::twoVersions(), WindowTexts::conflicts(f.conflicts));
    lines << line;
  }
  for (const auto& [index, reason] : run.skipped)
    lines << QCoreApplication::translate("RecoverFilesController", "\n%1: 未写入: %2").arg(q(files[index].fileName), q(reason));
  if (!run.reportPath.empty())
    lines << QCoreApplication::translate("RecoverFilesController",
                                         "\n报告: report.xml (每个字节的来源), map.svg (数据源上的碎片), %1 (本摘要)")
                 .arg(kSummaryName);
  return lines.join("\n");
}

}  // namespace

struct RecoverFilesController::Output {
  std::string source, folder;
  std::shared_ptr<const rebuild::SourceAnalysis> analysis;
  rebuild::FolderWriteResult run;
  std::optional<Message> error;
};

RecoverFilesController::RecoverFilesController(const WindowContext& context, const sources::Catalogue& catalogue,
                                               SaveFolder& saveFolder)
    : QObject(context.window), m_context(context), m_catalogue(catalogue), m_saveFolder(saveFolder) {}

void RecoverFilesController::recoverChecked() {
  JobRunner& runner = m_context.runner;
  if (runner.running()) return;
  const ScanResults& found = runner.results;
  widgets::SortListView* list = m_context.ui.fileList;
  if (!found.analysis || found.analysis->files.empty() || list->rowCount() == 0) {
    m_context.information(WindowTexts::listEmpty());
    return;
  }
  const std::vector<rebuild::AssembledFile>& files = found.analysis->files;
  std::vector<std::size_t> chosen;
  std::int64_t bytes = 0;
  QStringList names;
  for (int r = 0; r < list->rowCount(); ++r) {
    if (list->row(r)->checkState(0) != Qt::Checked) continue;
    const auto number = scan::TextToInt32(s(list->row(r)->text(kFileNumber)));
    for (std::size_t i = 0; i < files.size(); ++i)
      if (number && files[i].number == *number) {
        chosen.push_back(i);
        bytes += files[i].outputSize();
        if (names.size() < kNamesShown)
          names << QString("  %1  %2").arg(q(files[i].fileName), WindowTexts::byteSize(files[i].outputSize()));
      }
  }
  if (chosen.size() > std::size_t(kNamesShown)) names << tr("  … 还有 %1 个文件").arg(chosen.size() - kNamesShown);
  if (chosen.empty()) {
    m_context.information(tr("请先勾选要恢复的文件!"));
    return;
  }
  const QString folder = m_context.dialogs.chooseFolder(m_context.window, QFileInfo(m_saveFolder.suggest("x")).absolutePath());
  if (folder.isEmpty()) return;

  // What will be written where, before anything is: the files, their sizes, the folder, its
  // free space, and the files there that would be replaced.
  QStringList replaced;
  for (const std::size_t i : chosen)
    for (const QString& name : {q(files[i].fileName), q(pst::rawPathFor(files[i].fileName))})
      if (QFileInfo::exists(QDir(folder).filePath(name))) replaced << name;
  for (const char* name : {"report.xml", "map.svg", kSummaryName})
    if (QFileInfo::exists(QDir(folder).filePath(name))) replaced << name;
  // The folder may not exist yet: its free space is that of the nearest folder above that does.
  QString existing = QFileInfo(folder).absoluteFilePath();
  while (!QFileInfo(existing).isDir() && QFileInfo(existing).absolutePath() != existing)
    existing = QFileInfo(existing).absolutePath();
  const std::int64_t free = sources::folderSpace(s(existing)).freeBytes;
  QString question = tr("从数据源 \"%1\" 恢复 %2 个文件 (共 %3) 到文件夹 \"%4\":\n%5\n")
                         .arg(q(found.source))
                         .arg(chosen.size())
                         .arg(WindowTexts::byteSize(bytes), folder, names.join("\n"));
  question += free >= 0 ? tr("\n文件夹的可用空间: %1").arg(WindowTexts::byteSize(free)) : tr("\n文件夹的可用空间未知");
  if (free >= 0 && free < bytes) question += tr(" (可能不够: 放不下的文件不会写入)");
  question += tr("\n同时写入报告 report.xml, map.svg 和 %1.").arg(kSummaryName);
  if (!replaced.isEmpty()) question += tr("\n\n将替换文件夹中已有的文件: %1").arg(replaced.join(", "));
  if (!m_context.dialogs.question(m_context.window, question + tr("\n\n继续吗?"))) return;
  m_saveFolder.remember(QDir(folder).filePath("x"));

  std::shared_ptr<scan::ByteSource> src;
  try {
    src = sources::openSourceByName(m_catalogue, found.source);
  } catch (const std::exception& e) {
    m_context.error(errorText(e, found.source));
    return;
  }
  auto out = std::make_shared<Output>();
  out->source = found.source;
  out->folder = s(folder);
  out->analysis = found.analysis;
  rebuild::FolderRecovery job;
  job.folder = out->folder;
  job.report = true;
  job.reportHeader.program = "kestrix";
  job.reportHeader.version = kVersion;
  job.reportHeader.commandLine = "kestrix: " + s(tr("恢复所选文件到文件夹…"));
  job.reportHeader.startTime = rebuild::utcNow();
  job.reportHeader.imageFilename = found.source;
  job.reportHeader.imageSize = src->size();
  job.summaryName = kSummaryName;
  job.summary = [source = q(found.source), folder](std::span<const rebuild::AssembledFile> all,
                                                   const rebuild::FolderWriteResult& sofar) {
    return s(runText(all, sofar, source, folder)) + "\n";
  };

  m_context.ui.stepTabs->setCurrentIndex(kSourceTab);  // the gauge and 停止 of tab 1 follow the run
  QProgressBar* gg = m_context.ui.scanGauge;
  gg->setFormat("%p%");
  const std::int64_t planned = 2 * bytes;  // every file is written, then checked
  runner.setGauge(0, planned);
  const std::atomic<bool>& stop = runner.stopFlag(JobRunner::StopFlag::Scan);
  runner.start(
      JobRunner::StopFlag::Scan,
      [src, out, chosen, job, planned, &stop](const Worker::Report& report) {
        // One gauge over every stage of every file: a stage starts where the one before ended.
        std::int64_t before = 0, stageTotal = 0;
        std::string file;
        int stage = -1;
        try {
          out->run = rebuild::writeToFolder(*src, *out->analysis, chosen, job, stop,
                                            [&](const rebuild::FolderRecoveryProgress& p) {
                                              if (int(p.stage) != stage || p.fileName != file) {
                                                before += stageTotal;
                                                stage = int(p.stage);
                                                file = p.fileName;
                                              }
                                              stageTotal = p.total;
                                              report(stage, before + p.done, std::max(planned, before + p.total));
                                            });
        } catch (const std::exception& e) {
          out->error = messageOf(e, out->folder);
        }
      },
      [this, gg](int stage, qint64 done, qint64 total) {
        using Stage = rebuild::FolderRecoveryProgress::Stage;
        m_context.runner.advanceGauge(done, total);
        gg->setFormat(Stage(stage) == Stage::Check ? tr("检查 %p%") : Stage(stage) == Stage::Repair ? tr("修复 %p%") : tr("写入 %p%"));
      },
      [this, out] { done(*out); });
}

void RecoverFilesController::done(const Output& out) {
  QProgressBar* gg = m_context.ui.scanGauge;
  gg->setFormat("%p%");
  if (m_context.runner.closing()) {
    emit recoverFinished();
    return;
  }
  const rebuild::FolderWriteResult& run = out.run;
  if (out.error) {
    gg->setValue(0);
    m_context.error(messageText(*out.error));
  } else if (run.written.stopped) {
    gg->setValue(0);
    m_context.information(tr("已停止: 没有写入任何文件, 文件夹 \"%1\" 保持原样").arg(q(out.folder)));
  } else {
    gg->setValue(gg->maximum());
    gg->setFormat(tr("完成 %p%"));
    const std::vector<rebuild::AssembledFile>& files = out.analysis->files;
    // The 可读邮件 cell of each file written.
    widgets::SortListView* list = m_context.ui.fileList;
    bool allWhole = run.skipped.empty() && !run.chosen.empty();
    for (std::size_t k = 0; k < run.chosen.size() && k < run.written.checked.size(); ++k) {
      allWhole = allWhole && whole(run, k);
      const QString number = QString::number(files[run.chosen[k]].number);
      for (int r = 0; r < list->rowCount(); ++r)
        if (list->row(r)->text(kFileNumber) == number)
          list->row(r)->setText(kFileMail, WindowTexts::mailCell(run.written.checked[k], &run.written.evidence[k]));
    }
    const QString head = run.chosen.empty()
                             ? tr("没有写入任何文件:")
                             : tr("已写入 %1 个文件到 \"%2\":").arg(run.chosen.size()).arg(q(out.folder));
    const QString text = head + "\n" + runText(files, run, q(out.source), q(out.folder));
    // A file that is not proved whole, or one not written, is no success to be waved through.
    if (allWhole)
      m_context.information(text);
    else
      m_context.warning(text);
  }
  emit recoverFinished();
}

}  // namespace kestrix::app
