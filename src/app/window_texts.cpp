#include "app/window_texts.h"

#include <QDir>
#include <QFileInfo>
#include <QTreeWidgetItem>
#include <QLocale>

#include <algorithm>
#include <cmath>

#include "app/main_window_layout.h"
#include "app/messages.h"
#include "app/user_dialogs.h"
#include "app/window_context.h"
#include "recover/assembly.h"
#include "recover/evidence.h"
#include "io/size_text.h"

namespace kestrix::app {

QString WindowTexts::listEmpty() { return tr("列表为空!"); }

// File names on Linux are case sensitive, and so are native dialogs' patterns.
QString WindowTexts::pstFilter() { return tr("PST 文件 (*.pst *.PST)") + ";;" + tr("所有文件 (*)"); }

QString WindowTexts::fragmentFilter() { return tr("碎片文件 (*.bin)") + ";;" + tr("所有文件 (*)"); }

QString WindowTexts::rebuildInputFilter() {
  return tr("碎片或 PST 文件 (*.bin *.pst *.PST)") + ";;" + tr("所有文件 (*)");
}

QString WindowTexts::imageFilter() {
  return tr("磁盘镜像 (*.img *.dd *.raw *.bin *.001 *.E01 *.e01 *.Ex01 *.qcow2 *.qcow *.vmdk *.vhd *.vhdx *.VHD *.VHDX)") +
         ";;" + tr("所有文件 (*)");
}

QString WindowTexts::size(std::int64_t bytes) { return q(sources::SizeToText(static_cast<std::uint64_t>(bytes))); }

QString WindowTexts::byteSize(std::int64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return QString("%1 B").arg(std::max<std::int64_t>(bytes, 0));
  double value = double(bytes);
  int unit = -1;
  while (unit < 5 && value >= 1024) {
    value /= 1024;
    ++unit;
  }
  // 1,048,575 bytes are 1024.00 KiB once rounded: 1.00 MiB.
  if (unit < 5 && std::round(value * 100) >= 1024 * 100) {
    value /= 1024;
    ++unit;
  }
  return QLocale().toString(value, 'f', 2) + " " + kUnits[unit];
}

QString WindowTexts::sectorCount(const std::vector<scan::SectorRun>& runs) {
  std::int64_t n = 0;
  for (const auto& r : runs) n += r.count;
  return QString::number(n);
}

QString WindowTexts::mail(const pst::CheckReport& r) {
  return tr("可读邮件 %1/%2, 文件夹 %3 个").arg(r.messagesReadable).arg(r.messages).arg(r.folders.size());
}

QString WindowTexts::damage(const pst::CheckReport& r) {
  if (r.sound()) return {};
  if (!r.isPst) return tr("其中没有PST结构");
  QStringList what;
  using Verdict = pst::HeaderVerdict;
  switch (r.analysis.headerVerdict) {
    case Verdict::Own: break;
    case Verdict::Missing: what << tr("文件头已丢失"); break;
    case Verdict::BadCrc: what << tr("文件头的校验和不符"); break;
    case Verdict::Foreign: what << tr("文件头属于另一个文件"); break;
    case Verdict::NotUnicode: what << tr("未知版本的PST格式, 暂不能读取"); break;
  }
  if (!r.analysis.nodeTree.whole() || !r.analysis.blockTree.whole()) what << tr("索引已损坏");
  if (r.blocksMissing > 0) what << tr("缺少 %1 个块").arg(r.blocksMissing);
  if (r.blocksBadCrc > 0) what << tr("%1 个块的校验和不符").arg(r.blocksBadCrc);
  if (r.mapsTrustedButLost()) what << tr("%1 个分配表页已丢失").arg(r.mapsLost);
  if (!r.mailboxOpens) what << tr("邮件程序无法打开它");
  if (what.isEmpty()) what << tr("部分邮件或文件夹无法读取");
  return what.join(tr("; "));
}

QString WindowTexts::checked(const pst::CheckedOutput& c, bool rebuilt, bool whole) {
  if (c.repaired)
    return (rebuilt ? tr("文件已修复, %1\n重组出的原始文件保存在 \"%2\"") : tr("文件已修复, %1\n拼合出的原始文件保存在 \"%2\""))
        .arg(mail(c.result()), q(c.rawPath));
  if (c.notRepaired.empty()) return (whole ? tr("文件完好, ") : tr("文件可以打开, ")) + mail(c.check);
  using Failed = pst::CheckedOutput::Failed;
  const QString why = !c.check.isPst                ? tr("其中没有PST结构")
                      : !c.check.supported()         ? tr("未知版本的PST格式, 暂不能读取")
                      : c.failed == Failed::Copy     ? tr("无法写入修复后的副本: %1").arg(messageText(c.failure))
                      : c.failed == Failed::Repair   ? tr("修复失败: %1").arg(messageText(c.failure))
                                                     : QString::fromUtf8(c.notRepaired.c_str());
  // The repair could not complete: nothing was put at the target's name.
  if (c.failed != Failed::None)
    return tr("文件已损坏, 未能修复 (%1)\n按写入的原样保存在 \"%2\", 原有的文件没有被替换").arg(why, q(c.rawPath));
  return tr("文件已损坏, 未能修复 (%1), 已按写入的原样保存").arg(why);
}

QString WindowTexts::mailCell(const pst::CheckedOutput& c, const rebuild::FileEvidence* e) {
  QString cell = QString("%1/%2").arg(c.result().messagesReadable).arg(c.result().messages);
  if (c.repaired) cell += tr(" 已修复");
  else if (!c.notRepaired.empty()) cell += tr(" 已损坏");
  else if (e && e->state == rebuild::FileEvidence::State::Inferred) cell += tr(" 部分推断");
  else if (e && e->state == rebuild::FileEvidence::State::Damaged) cell += tr(" 不完整");
  return cell;
}

QString WindowTexts::evidence(const rebuild::FileEvidence& e) {
  using State = rebuild::FileEvidence::State;
  if (e.state == State::Whole) return tr("证据: 完整, 每个索引页和块都在其位置上得到验证");
  QStringList why;
  if (e.header == rebuild::FileEvidence::Header::Rebuilt) why << tr("文件头已丢失, 已按文件内容重建");
  if (e.header == rebuild::FileEvidence::Header::None) why << tr("没有自己的文件头");
  if (e.blocksMissing > 0) why << tr("缺少 %1/%2 个块").arg(e.blocksMissing).arg(e.blocks);
  if (e.blocksInferred > 0) why << tr("%1 个块未经验证: 按映射页的位置保留, 或仅凭 CRC 从各处的簇拼合").arg(e.blocksInferred);
  if (e.blocksAmbiguous > 0) why << tr("%1 个缺少的块有两组不同的碎片同样吻合, 均未采用").arg(e.blocksAmbiguous);
  if (e.blocksUncertain > 0) why << tr("%1 个块不确定: 另一个文件有同一 ID 的不同块").arg(e.blocksUncertain);
  if (e.blocksStitched > 0 && !e.stitchingProved())
    why << tr("%1 个块仅凭 CRC 从多处拼合 (尝试 %2 次, 出错的可能至多为 %3 分之一)")
               .arg(e.blocksStitched)
               .arg(e.stitchTries)
               .arg(e.oneIn());
  if (e.pagesMissing > 0) why << tr("缺少 %1 个索引页").arg(e.pagesMissing);
  if (e.pagesAmbiguous > 0) why << tr("%1 个缺少的索引页有两组不同的碎片同样吻合, 均未采用").arg(e.pagesAmbiguous);
  if (e.pagesInferred > 0) why << tr("%1 个索引页未经验证: 仅凭 CRC 从多处碎片拼合").arg(e.pagesInferred);
  if (e.newerPages > 0 || e.staleTrees) why << tr("数据源上有比所用索引更新的索引");
  if (e.sectorsUnreadable > 0) why << tr("%1 个无法读取的扇区已写为零").arg(e.sectorsUnreadable);
  if (e.versionConflicts > 0) why << tr("部分区间在数据源上有两个版本");
  if (e.checkDamaged) why << tr("写入的索引无法完整打开");
  return (e.state == State::Inferred ? tr("证据: 部分为推断: %1") : tr("证据: 不完整: %1")).arg(why.join(tr("; ")));
}

QString WindowTexts::stoppedNotWritten(const QString& path) {
  return tr("已停止: 未写入 \"%1\" (同名的原有文件保持不变)").arg(path);
}

bool WindowTexts::confirmRawReplace(UserDialogs& dialogs, QWidget* parent, const QString& output) {
  const QString raw = q(pst::rawPathFor(s(output)));
  if (!QFileInfo(raw).isFile()) return true;
  return dialogs.question(
      parent, tr("\"%1\" 已存在. 如果写入的文件需要修复, 按写入原样保存的字节将替换它. 继续吗?").arg(raw));
}

void WindowTexts::previewCells(QTreeWidgetItem* row, const rebuild::FilePreview* p) {
  if (!p) {
    row->setText(kFileState, tr("零散的映射页"));
    row->setToolTip(kFileState, tr("没有自己的文件头, 只有一个区间或几个挨在一起的映射页: 不是邮箱"));
    return;
  }
  using State = rebuild::FilePreview::State;
  QString mailbox = q(p->mailboxName);
  QStringList folders;
  for (const std::string& f : p->topFolders) folders << q(f);
  if (!folders.isEmpty()) mailbox += (mailbox.isEmpty() ? QString() : QString(": ")) + folders.join(", ");
  row->setText(kFileMailbox, mailbox);
  row->setToolTip(kFileMailbox, mailbox.isEmpty() ? tr("文件的索引中没有找到邮箱的名称和文件夹") : mailbox);
  row->setText(kFileMessages, p->indexRead ? QString::number(p->messages) : QString("-"));
  row->setToolTip(kFileMessages, tr("文件的索引列出的邮件数 (写入前读取; 写入并检查后, 可读邮件 一列给出能读的数量)"));
  const QString state = p->state == State::Complete      ? tr("区间齐全")
                        : p->state == State::TwoVersions ? twoVersions()
                        : p->state == State::Uncertain   ? tr("不确定")
                                                         : tr("已损坏");
  row->setText(kFileState, state);
  // Complete is not "whole": only a file written and checked block by block is proved whole.
  row->setToolTip(kFileState, p->state == State::Complete
                                  ? tr("每个区间都找到了, 文件头和索引都可读. 写入并检查后才能证明它完整")
                                  : q(p->why));
}

void WindowTexts::layoutCell(QTreeWidgetItem* row, pst::FileLayout layout) {
  using L = pst::FileLayout;
  row->setText(kFileLayout, layout == L::Ansi ? tr("ANSI PST") : layout == L::Unicode4K ? tr("OST (4 KiB 页)") : tr("Unicode PST"));
  row->setToolTip(kFileLayout, layout == L::Ansi        ? tr("Outlook 97-2002 的格式: 32 位编号, 最大 2 GB")
                               : layout == L::Unicode4K ? tr("Outlook 2013 及以后的脱机文件 (Exchange, Microsoft 365): 4 KiB 的页, 数据块可能压缩")
                                                        : tr("Outlook 2003 及以后的格式"));
}

QString WindowTexts::conflicts(const std::vector<rebuild::IdConflict>& conflicts) {
  QStringList lines;
  for (std::size_t i = 0; i < conflicts.size() && i < 4; ++i) {
    const rebuild::IdConflict& c = conflicts[i];
    lines << tr("ID %1-%2 有 %3 个候选碎片, 取了碎片 %4").arg(c.firstId).arg(c.lastId).arg(c.candidates()).arg(c.chosen);
  }
  if (conflicts.size() > 4) lines << "...";
  return lines.join("\n");
}

QString WindowTexts::twoVersions() { return tr("两个版本"); }

QString WindowTexts::fileListMissing(const std::string& cell) {
  return q(cell).replace(QString::fromUtf8(rebuild::kTwoVersionsMark), twoVersions());
}

QString SaveFolder::suggest(const QString& name, const QString& fallback) const {
  const QDir folder(!m_folder.isEmpty() ? m_folder : !fallback.isEmpty() ? fallback : QDir::currentPath());
  const QFileInfo suggested(name);
  QString path = folder.filePath(name);
  for (int n = 2; QFileInfo::exists(path); ++n)
    path = folder.filePath(QString("%1-%2").arg(suggested.completeBaseName()).arg(n) +
                           (suggested.suffix().isEmpty() ? QString() : "." + suggested.suffix()));
  return QDir::toNativeSeparators(path);
}

void SaveFolder::remember(const QString& savedPath) {
  if (!savedPath.isEmpty()) m_folder = QFileInfo(savedPath).absolutePath();
}

}  // namespace kestrix::app
