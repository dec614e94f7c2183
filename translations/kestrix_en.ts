<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>DiskAccess</name>
    <message>
        <source>即使以管理员身份也无法读取：系统禁止读取此设备（安全策略或容器的设备规则）。</source>
        <translation>It cannot be read even as administrator: the system keeps this device from being read (a security policy or the device rules of a container).</translation>
    </message>
    <message>
        <source>读取磁盘和分区需要管理员权限：在应用程序菜单中右键单击 Kestrix，选择“以管理员身份运行”（或在终端中运行 sudo kestrix）。</source>
        <translation>Reading disks and partitions needs administrator rights: right-click Kestrix in the applications menu and choose &quot;Run as administrator&quot; (or run sudo kestrix in a terminal).</translation>
    </message>
    <message>
        <source>也可以把用户加入 &quot;%1&quot; 组，重新登录后即可读取。</source>
        <translation> You can also add your user to the group &quot;%1&quot; and log in again.</translation>
    </message>
    <message>
        <source>打开磁盘镜像文件不需要这些权限。</source>
        <translation>Opening a disk image file needs none of these rights.</translation>
    </message>
</context>
<context>
    <name>Messages</name>
    <message>
        <source>文件或文件夹不存在</source>
        <translation>no such file or folder</translation>
    </message>
    <message>
        <source>没有权限</source>
        <translation>permission denied</translation>
    </message>
    <message>
        <source>磁盘空间不足</source>
        <translation>no space left on the disk</translation>
    </message>
    <message>
        <source>超出磁盘配额</source>
        <translation>disk quota exceeded</translation>
    </message>
    <message>
        <source>输入/输出错误（介质可能已损坏）</source>
        <translation>input/output error (the medium may be damaged)</translation>
    </message>
    <message>
        <source>这是一个文件夹</source>
        <translation>it is a folder</translation>
    </message>
    <message>
        <source>路径中的某一部分不是文件夹</source>
        <translation>a part of the path is not a folder</translation>
    </message>
    <message>
        <source>文件系统是只读的</source>
        <translation>the file system is read-only</translation>
    </message>
    <message>
        <source>设备不存在</source>
        <translation>no such device</translation>
    </message>
    <message>
        <source>设备或资源正忙</source>
        <translation>the device or resource is busy</translation>
    </message>
    <message>
        <source>文件太大</source>
        <translation>the file is too large</translation>
    </message>
    <message>
        <source>文件名太长</source>
        <translation>the file name is too long</translation>
    </message>
    <message>
        <source>符号链接层次太多</source>
        <translation>too many levels of symbolic links</translation>
    </message>
    <message>
        <source>文件已存在</source>
        <translation>the file exists already</translation>
    </message>
    <message>
        <source>无法打开文件 &quot;%1&quot;：%2</source>
        <translation>Cannot open file &quot;%1&quot;: %2</translation>
    </message>
    <message>
        <source>管道</source>
        <translation>a pipe</translation>
    </message>
    <message>
        <source>套接字</source>
        <translation>a socket</translation>
    </message>
    <message>
        <source>没有长度的字符设备</source>
        <translation>a character device without a length</translation>
    </message>
    <message>
        <source>无法把 &quot;%1&quot; 作为数据源读取：它是%2，不能按位置读取。请先把它的数据保存为文件，再选择该文件。</source>
        <translation>Cannot read &quot;%1&quot; as a source: it is %2, which cannot be read by offset. Save its data to a file and choose that file.</translation>
    </message>
    <message>
        <source>无法读取文件 &quot;%1&quot;（第 %2 字节）：%3</source>
        <translation>Cannot read file &quot;%1&quot; at byte %2: %3</translation>
    </message>
    <message>
        <source>数据提前结束（文件被截断）</source>
        <translation>the data ends early (truncated)</translation>
    </message>
    <message>
        <source>无法创建文件 &quot;%1&quot;：%2</source>
        <translation>Cannot create file &quot;%1&quot;: %2</translation>
    </message>
    <message>
        <source>无法写入文件 &quot;%1&quot;：%2</source>
        <translation>Cannot write file &quot;%1&quot;: %2</translation>
    </message>
    <message>
        <source>无法写入文件 &quot;%1&quot;（第 %2 字节）：%3</source>
        <translation>Cannot write file &quot;%1&quot; at byte %2: %3</translation>
    </message>
    <message>
        <source>无法写入 &quot;%1&quot;：这是文件夹的名称，不是文件。</source>
        <translation>Cannot write &quot;%1&quot;: it names a folder, not a file.</translation>
    </message>
    <message>
        <source>无法写入文件 &quot;%1&quot;：它就是输入文件 &quot;%2&quot;。请选择另一个输出文件。</source>
        <translation>Cannot write file &quot;%1&quot;: it is the input &quot;%2&quot; itself. Choose another output file.</translation>
    </message>
    <message>
        <source>无法写入文件 &quot;%1&quot;：它位于数据源 &quot;%2&quot; 上，会覆盖待恢复的数据。请选择其他磁盘上的文件夹。</source>
        <translation>Cannot write file &quot;%1&quot;: it lies on the source &quot;%2&quot; and would overwrite the data to recover. Choose a folder on another disk.</translation>
    </message>
    <message>
        <source>无法写入文件 &quot;%1&quot;：它将有 %2，超过该文件系统允许的最大文件。</source>
        <translation>Cannot write file &quot;%1&quot;: it would be %2, more than the largest file its file system allows.</translation>
    </message>
    <message>
        <source>无法写入文件 &quot;%1&quot;：需要 %2 磁盘空间，但那里只有 %3 可用。</source>
        <translation>Cannot write file &quot;%1&quot;: it needs %2 of disk space, but only %3 is free there.</translation>
    </message>
    <message>
        <source>它是空的</source>
        <translation>it is empty</translation>
    </message>
    <message>
        <source>它比一个映射区间还短（%1 字节，一个区间为 %2 字节）</source>
        <translation>it is shorter than one map interval (%1 of %2 bytes)</translation>
    </message>
    <message>
        <source>它本身就是 PST 文件，而不是“恢复碎片”写出的映射区间文件</source>
        <translation>it is a PST file itself, not a file of map intervals such as Recover fragments writes</translation>
    </message>
    <message>
        <source>其中没有以分配映射页开头的 %1 字节区块；它不是“恢复碎片”写出的映射区间文件</source>
        <translation>no block of %1 bytes in it begins with an allocation-map page; it is not a file of map intervals such as Recover fragments writes</translation>
    </message>
    <message>
        <source>没有从 &quot;%1&quot; 重组出任何内容：%2</source>
        <translation>Nothing was rebuilt from &quot;%1&quot;: %2</translation>
    </message>
    <message>
        <source>无法修复文件 &quot;%1&quot;：它的 PST 格式（ANSI 或 4 KiB 页）暂不支持。</source>
        <translation>Cannot repair file &quot;%1&quot;: it is a PST file of a layout that is not supported yet (ANSI or 4 KiB pages).</translation>
    </message>
    <message>
        <source>无法修复文件 &quot;%1&quot;：其中没有 PST 结构（既没有自己的文件头，也没有索引页）。</source>
        <translation>Cannot repair file &quot;%1&quot;: it holds no PST structure (no header of its own and no index page).</translation>
    </message>
</context>
<context>
    <name>RemainingTime</name>
    <message>
        <source>剩余时间: </source>
        <translation>Time remaining: </translation>
    </message>
    <message>
        <source>剩余时间: %1</source>
        <translation>Time remaining: %1</translation>
    </message>
</context>
<context>
    <name>kestrix::app::AboutBox</name>
    <message>
        <source>KESTRIX是一款针对
OUTLOOK2000,2002,2003,2007
的PST邮件碎片恢复的一款工具！</source>
        <translation>KESTRIX recovers PST mail files
of Outlook 2000, 2002, 2003
and 2007 from their fragments.</translation>
    </message>
    <message>
        <source>版本 %1</source>
        <translation>Version %1</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>kestrix::app::HelpViewer</name>
    <message>
        <source>帮助</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>找不到使用手册 &quot;%1&quot;。</source>
        <translation>The manual &quot;%1&quot; cannot be found.</translation>
    </message>
</context>
</TS>
