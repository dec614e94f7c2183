#include "app/rebuild_controller.h"

#include <QFileInfo>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>

#include <optional>

#include "app/job_runner.h"
#include "app/main_window_layout.h"
#include "app/messages.h"
#include "app/remaining_time.h"
#include "app/window_texts.h"
#include "recover/assembly.h"
#include "recover/rebuild.h"
#include "io/errors.h"
#include "widgets/sort_list_view.h"

namespace kestrix::app {

struct RebuildController::Output {
  std::optional<Message> error;  // why the job failed
  std::int64_t tail = 0;  // bytes after the input's last whole interval
  std::vector<std::int32_t> repeated;  // IDs of more than one interval: all but the last dropped
  std::int64_t otherLayout = 0;  // intervals of another layout than the first's: not used
  std::optional<pst::CheckedOutput> checked;  // what the check of the file found
};

RebuildController::RebuildController(const WindowContext& context, SaveFolder& saveFolder)
    : QObject(context.window), m_context(context), m_saveFolder(saveFolder) {
  widgets::SortListView* inputs = m_context.ui.rebuildInputList;
  connect(inputs, &QTreeWidget::itemDoubleClicked, this, [this] { RecoverFileListDblClick(); });
  inputs->viewport()->installEventFilter(this);  // a double click below the rows counts too
}

bool RebuildController::eventFilter(QObject* watched, QEvent* event) {
  widgets::SortListView* inputs = m_context.ui.rebuildInputList;
  if (watched == inputs->viewport() && event->type() == QEvent::MouseButtonDblClick &&
      !inputs->itemAt(static_cast<QMouseEvent*>(event)->position().toPoint()))
    RecoverFileListDblClick();
  return QObject::eventFilter(watched, event);
}

void RebuildController::Button4Click() {
  if (m_context.runner.running()) return;
  const QStringList inputs = m_context.dialogs.openFiles(m_context.window, WindowTexts::rebuildInputFilter());
  if (inputs.isEmpty() || !QFileInfo::exists(inputs.first())) return;
  widgets::SortListView* list = m_context.ui.rebuildInputList;
  list->clear();  // the list shows what this run reads
  for (const QString& path : inputs) {
    const QFileInfo info(path);
    list->addRow({info.fileName(), path, WindowTexts::size(info.exists() ? info.size() : -1)});
  }
  // Names and paths are shown whole where there is room for them.
  list->resizeColumnToContents(0);
  list->resizeColumnToContents(1);
  m_inputs = inputs;
  m_index = 0;
  m_output.clear();
  startNext();
}

void RebuildController::Button5Click() { m_context.runner.stop(JobRunner::StopFlag::Rebuild); }

void RebuildController::RecoverFileListDblClick() { m_context.ui.rebuildInputList->clear(); }

void RebuildController::showStep(const QString& step) {
  // The input and the output by their whole names: the label takes the row's width.
  m_context.ui.rebuildStepLabel->setText(
      tr("%1 %2 → %3").arg(step, QFileInfo(m_inputs.value(m_index)).fileName(), QFileInfo(m_output).fileName()));
}

void RebuildController::startNext() {
  JobRunner& runner = m_context.runner;
  while (!runner.closing() && m_index < m_inputs.size()) {
    const QFileInfo input(m_inputs[m_index]);
    // Before any save, the input's folder: the fragments were written there, not to the scanned disk.
    const QString output =
        m_context.dialogs.saveFile(m_context.window, WindowTexts::pstFilter(),
                                   m_saveFolder.suggest(input.completeBaseName() + tr("_重组.pst"), input.absolutePath()));
    if (output.isEmpty() || !WindowTexts::confirmRawReplace(m_context.dialogs, m_context.window, output)) {
      ++m_index;
      continue;
    }
    m_saveFolder.remember(output);
    m_output = output;
    showStep(tr("初始化PST文件"));
    auto out = std::make_shared<Output>();
    std::atomic<bool>& stop = runner.stopFlag(JobRunner::StopFlag::Rebuild);
    using Phase = rebuild::RebuildProgress::Phase;
    // A rebuilt Unicode file starts with the fixed header block and opens only once repaired
    // (an ANSI one gets the header its trees give): the engine checks it and repairs it when
    // needed, the bytes as rebuilt stay beside it.
    runner.start(
        JobRunner::StopFlag::Rebuild,
        [in = s(input.filePath()), path = s(output), out, &stop](const Worker::Report& report) {
          try {
            rebuild::RebuildResult r = rebuild::rebuildFile(
                in, path, stop, [&](const rebuild::RebuildProgress& p) { report(int(p.phase), p.done, p.total); }, true);
            out->tail = r.tailBytes;
            out->repeated = r.repeatedIds;
            out->otherLayout = r.otherLayout;
            if (!r.stopped()) out->checked = std::move(r.checked);
          } catch (const std::exception& e) {
            out->error = messageOf(e, in);
          }
        },
        [this](int phase, qint64 done, qint64 total) {
          showStep(phase == int(Phase::Indexing)  ? tr("初始化PST文件")
                   : phase == int(Phase::Writing)  ? tr("重组PST文件")
                   : phase == int(Phase::Checking) ? tr("检查PST文件")
                                                   : tr("修复PST文件"));
          // Writing counts IDs, the other passes bytes (in KiB); one scale per pass.
          const bool ids = phase == int(Phase::Writing);
          const int shift = ids ? 0 : GaugeShift(total);
          const std::int32_t max = ids ? std::int32_t(std::min<qint64>(total, INT32_MAX)) : GaugeUnits(total, shift);
          const std::int32_t at = ids ? std::int32_t(std::min<qint64>(done, INT32_MAX)) : GaugeUnits(done, shift);
          QProgressBar* pb = m_context.ui.rebuildGauge;
          pb->setRange(0, std::max(1, max));
          pb->setValue(std::min(at, pb->maximum()));
        },
        [this, out] { fileDone(*out); });
    return;
  }
  if (runner.closing()) return;
  // The gauge shows the run ended, beside the label that says so.
  QProgressBar* pb = m_context.ui.rebuildGauge;
  if (!m_output.isEmpty()) pb->setValue(pb->maximum());
  m_context.ui.rebuildStepLabel->setText(m_output.isEmpty() ? tr("完成!")
                                                           : tr("完成! 最后写入 %1").arg(QFileInfo(m_output).fileName()));
  showSummary();
  emit rebuildFinished();
}

void RebuildController::showSummary() {
  const QStringList summary = std::exchange(m_summary, {});
  const bool troubled = std::exchange(m_troubled, false);
  if (summary.isEmpty() || m_context.runner.closing()) return;
  const QString text = tr("重组完成:\n") + summary.join("\n");
  // A file left damaged or not written, or intervals dropped, is said with a warning.
  if (troubled)
    m_context.warning(text);
  else
    m_context.information(text);
}

void RebuildController::fileDone(const Output& out) {
  m_context.ui.rebuildGauge->setValue(0);
  const bool closing = m_context.runner.closing();
  if (out.error) {
    // A failed file ends the command: no "完成!", the later inputs are left alone.
    m_context.ui.rebuildStepLabel->setText("");
    m_inputs.clear();
    if (!closing) m_context.error(messageText(*out.error));
    showSummary();  // the files written before the failure
    emit rebuildFinished();
    return;
  }
  if (out.checked)
    m_summary << QString("\"%1\":\n%2").arg(m_output, WindowTexts::checked(*out.checked, true));
  else
    m_summary << tr("\"%1\": 已停止, 未写入").arg(m_output);
  m_troubled = m_troubled || !out.checked || !out.checked->notRepaired.empty() || !out.repeated.empty() || out.otherLayout > 0;
  // Intervals of one ID twice: only the last is written, and the user hears which were dropped.
  if (!out.repeated.empty())
    m_summary << tr("\"%1\" 中有 %2 个 ID 出现在多个区间 (%3): 每个 ID 只写入最后一个区间, 其余已丢弃; 输入可能混合了两个邮箱的碎片")
                     .arg(m_inputs.value(m_index))
                     .arg(out.repeated.size())
                     .arg(QString::fromStdString(rebuild::describeIds(out.repeated)));
  if (out.otherLayout > 0)
    m_summary << tr("\"%1\" 中有 %2 个区间的分配图页属于另一种格式 (与第一个区间不同), 没有使用")
                     .arg(m_inputs.value(m_index))
                     .arg(out.otherLayout);
  // Whole intervals only: a cut-off last one is not used, and the user hears of it.
  if (out.tail > 0 && !closing)
    m_context.information(
        tr("\"%1\" 末尾的 %2 字节不是完整的区间, 没有写入").arg(m_inputs.value(m_index)).arg(out.tail));
  ++m_index;
  startNext();
}

}  // namespace kestrix::app
