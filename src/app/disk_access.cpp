#include "app/disk_access.h"

#ifdef _WIN32
#include <windows.h>
#include <shlobj.h>
#else
#include <unistd.h>
#endif

#include <QCoreApplication>

#include <cerrno>

#include "app/messages.h"
#include "io/errors.h"
#include "sources/catalogue.h"

namespace kestrix::app {

namespace {

struct DiskAccess {
  Q_DECLARE_TR_FUNCTIONS(DiskAccess)
};

}  // namespace

QString sourceErrorText(const std::exception& e) {
  QString text = errorText(e);
  const auto* refused = dynamic_cast<const SourceOpenError*>(&e);
  if (!refused || (refused->error() != EACCES && refused->error() != EPERM) || !sources::isDevicePath(refused->path()))
    return text;
#ifdef _WIN32
  if (::IsUserAnAdmin())
    return text + "\n" + DiskAccess::tr("即使以管理员身份也无法读取：系统禁止读取此设备（安全策略或另一个程序独占了它）。");
  text += "\n" + DiskAccess::tr("读取磁盘和分区需要管理员权限：关闭 Kestrix，在资源管理器中右键单击 kestrix.exe，选择“以管理员身份运行”。");
#else
  if (::geteuid() == 0)
    return text + "\n" + DiskAccess::tr("即使以管理员身份也无法读取：系统禁止读取此设备（安全策略或容器的设备规则）。");
  text += "\n" + DiskAccess::tr("读取磁盘和分区需要管理员权限：在应用程序菜单中右键单击 Kestrix，选择“以管理员身份运行”"
                               "（或在终端中运行 sudo kestrix）。");
  const std::string group = sources::readerGroupOf(refused->path());
  if (!group.empty())
    text += DiskAccess::tr("也可以把用户加入 \"%1\" 组，重新登录后即可读取。").arg(QString::fromStdString(group));
#endif
  return text + "\n" + DiskAccess::tr("打开磁盘镜像文件不需要这些权限。");
}

}  // namespace kestrix::app
