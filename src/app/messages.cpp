#include "app/messages.h"

#include <QCoreApplication>

#include <cerrno>

#include "io/errors.h"

namespace kestrix::app {

namespace {

class Messages {
  Q_DECLARE_TR_FUNCTIONS(Messages)
 public:
  static QString text(const Message& m);
  static QString reason(int err);
};

QString Messages::reason(int err) {
  switch (err) {
    case ENOENT: return tr("文件或文件夹不存在");
    case EACCES:
    case EPERM: return tr("没有权限");
    case ENOSPC: return tr("磁盘空间不足");
#ifdef EDQUOT  // Windows' C library has none: a full quota is a full disk there
    case EDQUOT: return tr("超出磁盘配额");
#endif
    case EIO: return tr("输入/输出错误（介质可能已损坏）");
    case EISDIR: return tr("这是一个文件夹");
    case ENOTDIR: return tr("路径中的某一部分不是文件夹");
    case EROFS: return tr("文件系统是只读的");
    case ENODEV:
    case ENXIO: return tr("设备不存在");
    case EBUSY: return tr("设备或资源正忙");
    case EFBIG: return tr("文件太大");
    case ENAMETOOLONG: return tr("文件名太长");
    case ELOOP: return tr("符号链接层次太多");
    case EEXIST: return tr("文件已存在");
    default: return QString::fromStdString(systemReason(err));
  }
}

QString Messages::text(const Message& m) {
  using C = Message::Code;
  const auto arg = [&](std::size_t i) { return i < m.args.size() ? QString::fromStdString(m.args[i]) : QString(); };
  switch (m.code) {
    case C::Text:
      return arg(0);
    case C::CannotOpen:
      return tr("无法打开文件 \"%1\"：%2").arg(arg(0), reason(m.err));
    case C::CannotOpenImage:
      return tr("无法把 \"%1\" 作为 %2 镜像读取：%3").arg(arg(0), arg(1), arg(2));
    case C::NotByOffset: {
      const QString kind = arg(1) == "pipe" ? tr("管道") : arg(1) == "socket" ? tr("套接字") : tr("没有长度的字符设备");
      return tr("无法把 \"%1\" 作为数据源读取：它是%2，不能按位置读取。请先把它的数据保存为文件，再选择该文件。")
          .arg(arg(0), kind);
    }
    case C::CannotRead:
      return tr("无法读取文件 \"%1\"（第 %2 字节）：%3")
          .arg(arg(0), arg(1), m.err != 0 ? reason(m.err) : tr("数据提前结束（文件被截断）"));
    case C::CannotCreate:
      return tr("无法创建文件 \"%1\"：%2").arg(arg(0), reason(m.err));
    case C::CannotWrite:
      return tr("无法写入文件 \"%1\"：%2").arg(arg(0), reason(m.err));
    case C::CannotWriteAt:
      return tr("无法写入文件 \"%1\"（第 %2 字节）：%3").arg(arg(0), arg(1), reason(m.err));
    case C::OutputIsFolderName:
      return tr("无法写入 \"%1\"：这是文件夹的名称，不是文件。").arg(arg(0));
    case C::OutputIsInput:
      return tr("无法写入文件 \"%1\"：它就是输入文件 \"%2\"。请选择另一个输出文件。").arg(arg(0), arg(1));
    case C::OutputIsSourcePart:
      return tr("无法写入文件 \"%1\"：它是正在读取的镜像 \"%2\" 的文件之一。请选择另一个输出文件。").arg(arg(0), arg(1));
    case C::OutputBehindSource:
      return tr("无法写入文件 \"%1\"：它是数据源 \"%2\"（回环设备）背后的文件，会覆盖待恢复的数据。请选择另一个输出文件。")
          .arg(arg(0), arg(1));
    case C::OutputNotFile: {
      const QString kind = arg(1) == "folder" ? tr("文件夹")
                           : arg(1) == "fifo" ? tr("命名管道")
                           : arg(1) == "socket" ? tr("套接字")
                                                : tr("设备");
      return tr("无法写入文件 \"%1\"：那里是%2，结果只写入普通文件。").arg(arg(0), kind);
    }
    case C::OutputOnSource:
      return tr("无法写入文件 \"%1\"：它位于数据源 \"%2\" 上，会覆盖待恢复的数据。请选择其他磁盘上的文件夹。")
          .arg(arg(0), arg(1));
    case C::OutputTooLarge:
      return tr("无法写入文件 \"%1\"：它将有 %2，超过该文件系统允许的最大文件。").arg(arg(0), arg(1));
    case C::NoRoom:
      return tr("无法写入文件 \"%1\"：需要 %2 磁盘空间，但那里只有 %3 可用。").arg(arg(0), arg(1), arg(2));
    case C::NothingRebuilt: {
      QString why;
      if (arg(1) == "empty")
        why = tr("它是空的");
      else if (arg(1) == "short")
        why = tr("它比一个映射区间还短（%1 字节，一个区间为 %2 字节）").arg(arg(2), arg(3));
      else if (arg(1) == "pst")
        why = tr("它本身就是 PST 文件，而不是“恢复碎片”写出的映射区间文件");
      else
        why = tr("其中没有以分配映射页开头的 %1 字节区块；它不是“恢复碎片”写出的映射区间文件").arg(arg(2));
      return tr("没有从 \"%1\" 重组出任何内容：%2").arg(arg(0), why);
    }
    case C::CannotRepair:
      return arg(1) == "layout"
                 ? tr("无法修复文件 \"%1\"：它是未知版本的 PST，无法读取。").arg(arg(0))
             : arg(1) == "limits"
                 ? tr("无法修复文件 \"%1\"：修复后的文件会超出 ANSI 格式的限制（32 位编号和偏移，文件小于 2 GB），没有写入任何文件。").arg(arg(0))
                 : tr("无法修复文件 \"%1\"：其中没有 PST 结构（既没有自己的文件头，也没有索引页）。").arg(arg(0));
    case C::CannotResize:
      return tr("无法将文件 \"%1\" 的长度设为 %2 字节：%3").arg(arg(0), arg(1), reason(m.err));
    case C::CannotMakeFolder:
      return tr("无法创建文件夹 \"%1\"：%2").arg(arg(0), reason(m.err));
    case C::FolderRefused:
      return arg(1) == "notfolder" ? tr("无法写入文件夹 \"%1\"：它不是文件夹。").arg(arg(0))
             : arg(1) == "busy"    ? tr("无法写入文件夹 \"%1\"：另一个 Kestrix 正在写入这个文件夹，请等它完成，或选择别的文件夹。").arg(arg(0))
             : arg(1) == "lockname" ? tr("无法写入文件夹 \"%1\"：其中有一个不是 Kestrix 创建的 .kestrix-lock 文件，请将它移走，或选择别的文件夹。").arg(arg(0))
                                   : tr("无法写入文件夹 \"%1\"：%2").arg(arg(0), reason(m.err));
    case C::OutOfMemory:
      return arg(0).isEmpty() ? tr("内存不足，无法完成操作。") : tr("内存不足，无法处理 \"%1\"。").arg(arg(0));
    case C::CannotAccess:
      return tr("无法访问 \"%1\"：%2").arg(arg(0), reason(m.err));
    case C::Failed:
      return arg(0).isEmpty() ? arg(1) : tr("处理 \"%1\" 时出错：%2").arg(arg(0), arg(1));
    case C::OutputInSystemFolder:
      return tr("无法写入文件 \"%1\"：它的文件夹 \"%2\" 属于系统（设备、内核文件），结果只写入普通文件夹。").arg(arg(0), arg(1));
    case C::OutputOnUnknownMount:
      return tr("无法写入文件 \"%1\"：它的文件夹位于从 \"%3\" 挂载的 FUSE 文件系统上，无法确定其数据存放在哪里，可能就是数据源 \"%2\"。请选择其他文件系统上的文件夹。")
          .arg(arg(0), arg(1), arg(2));
    case C::OutputTwice:
      return tr("无法写入文件 \"%1\"：它也是输出文件 \"%2\"。请为每个输出指定不同的文件。").arg(arg(0), arg(1));
    case C::NotCommitted: {
      if (m.args.size() <= 1)
        return tr("无法写入文件 \"%1\"：%2。本次没有写入任何文件，所有文件保持原样。").arg(arg(0), reason(m.err));
      QStringList stayNew;
      for (std::size_t i = 1; i < m.args.size(); ++i) stayNew << "\"" + QString::fromStdString(m.args[i]) + "\"";
      return tr("无法写入文件 \"%1\"：%2。以下文件已写入且无法恢复原样：%3；其他文件保持原样。")
          .arg(arg(0), reason(m.err), stayNew.join(", "));
    }
  }
  return arg(0);
}

}  // namespace

QString messageText(const Message& message) { return Messages::text(message); }

QString errorText(const std::exception& e, const std::string& path) { return messageText(messageOf(e, path)); }

QString systemReasonText(int err) { return Messages::reason(err); }

}  // namespace kestrix::app
