<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>Captions</name>
    <message>
        <source>无信号</source>
        <translation>No signal</translation>
    </message>
    <message>
        <source>帧缓冲</source>
        <translation>Buffering</translation>
    </message>
    <message>
        <source>回放结束</source>
        <translation>end of playback</translation>
    </message>
</context>
<context>
    <name>ControlWindow</name>
    <message>
        <source>录像</source>
        <translation>Rec</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>播放</source>
        <translation>Play</translation>
    </message>
    <message>
        <source>暂停</source>
        <translation>Pause</translation>
    </message>
    <message>
        <source>全部通道</source>
        <translation>All</translation>
    </message>
    <message>
        <source>Zarvion 信息</source>
        <translation>Zarvion message</translation>
    </message>
</context>
<context>
    <name>ControlWindowForm</name>
    <message>
        <source>录像</source>
        <translation>Rec</translation>
    </message>
    <message>
        <source>抓图</source>
        <translation>Snap</translation>
    </message>
    <message>
        <source>设置</source>
        <translation>Set</translation>
    </message>
    <message>
        <source>点播</source>
        <translation>Files</translation>
    </message>
    <message>
        <source>播放</source>
        <translation>Play</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
</context>
<context>
    <name>PlaybackDialog</name>
    <message>
        <source>视频回放 选择通道和视频源</source>
        <translation>Playback: choose channel and recording</translation>
    </message>
</context>
<context>
    <name>PlaybackDialogForm</name>
    <message>
        <source>视频回放 选择通道和视频源</source>
        <translation>Playback: choose channel and recording</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>通道</source>
        <translation>Ch</translation>
    </message>
    <message>
        <source>时间</source>
        <translation>Time</translation>
    </message>
    <message>
        <source>文件位置</source>
        <translation>File location</translation>
    </message>
</context>
<context>
    <name>RepairStatus</name>
    <message>
        <source>不是本程序录制的文件，未改动</source>
        <translation>not recorded by this program, left as it was</translation>
    </message>
    <message>
        <source>没有完整的帧，未改动</source>
        <translation>no whole frame, left as it was</translation>
    </message>
    <message>
        <source>已跳过，未改动（%1）</source>
        <translation>skipped, left as it was (%1)</translation>
    </message>
    <message>
        <source>无法写入（磁盘已满？），未改动</source>
        <translation>cannot be written (disk full?), left as it was</translation>
    </message>
    <message>
        <source>正在检查录像 %1（%2/%3）：%4%</source>
        <translation>Checking recording %1 (%2/%3): %4%</translation>
    </message>
    <message>
        <source>录像 %1 已修复（%2 帧）</source>
        <translation>Recording %1 repaired (%2 frames)</translation>
    </message>
    <message>
        <source>录像 %1 已损坏，原文件保留，完好的帧在 %2</source>
        <translation>Recording %1 is damaged; the file is kept as it was, its whole frames are in %2</translation>
    </message>
    <message>
        <source>录像 %1 %2</source>
        <translation>Recording %1 %2</translation>
    </message>
    <message>
        <source>录像检查完毕：修复 %1 个，%2 个未改动</source>
        <translation>Recordings checked: %1 repaired, %2 left as they were</translation>
    </message>
    <message>
        <source>录像检查完毕：修复 %1 个</source>
        <translation>Recordings checked: %1 repaired</translation>
    </message>
</context>
<context>
    <name>SettingsDialog</name>
    <message>
        <source>Zarvion 设置</source>
        <translation>Zarvion settings</translation>
    </message>
    <message>
        <source>选择一个文件夹保存录制的影片</source>
        <translation>Choose a folder for recorded video</translation>
    </message>
    <message>
        <source>选择一个文件夹保存抓取的图片</source>
        <translation>Choose a folder for snapshots</translation>
    </message>
    <message>
        <source>录像保存文件夹</source>
        <translation>The recording folder</translation>
    </message>
    <message>
        <source>抓图保存文件夹</source>
        <translation>The snapshot folder</translation>
    </message>
    <message>
        <source>%1不存在：</source>
        <translation>%1 does not exist:</translation>
    </message>
    <message>
        <source>%1无法写入：这是一个文件，不是文件夹：</source>
        <translation>%1 cannot be written: this is a file, not a folder:</translation>
    </message>
    <message>
        <source>%1无法写入：没有写入权限：</source>
        <translation>%1 cannot be written: no permission to write:</translation>
    </message>
    <message>
        <source>Zarvion 设置错误</source>
        <translation>Zarvion settings error</translation>
    </message>
</context>
<context>
    <name>SettingsDialogForm</name>
    <message>
        <source>Zarvion 设置</source>
        <translation>Zarvion settings</translation>
    </message>
    <message>
        <source>视频默认显示样式</source>
        <translation>Default layout</translation>
    </message>
    <message>
        <source>视频参数设置</source>
        <translation>Picture settings</translation>
    </message>
    <message>
        <source>亮度</source>
        <translation>Bri.</translation>
    </message>
    <message>
        <source>色调</source>
        <translation>Hue</translation>
    </message>
    <message>
        <source>对比度</source>
        <translation>Con.</translation>
    </message>
    <message>
        <source>饱和度</source>
        <translation>Sat.</translation>
    </message>
    <message>
        <source>选择通道</source>
        <translation>Channel</translation>
    </message>
    <message>
        <source>本地抓图保存路径</source>
        <translation>Snapshot folder</translation>
    </message>
    <message>
        <source>本地录像保存路径</source>
        <translation>Recording folder</translation>
    </message>
    <message>
        <source>注意:
调整该参数将将会影响所有的客户端观看效果,请慎用!</source>
        <translation>Note:
these settings change the picture for every client. Use with care!</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>2 X 2 ( 4画面)</source>
        <translation>2 X 2 (4)</translation>
    </message>
    <message>
        <source>3 X 3 ( 9画面)</source>
        <translation>3 X 3 (9)</translation>
    </message>
    <message>
        <source>4 X 4 (16画面)</source>
        <translation>4 X 4 (16)</translation>
    </message>
    <message>
        <source>默认值</source>
        <translation>Defaults</translation>
    </message>
    <message>
        <source>...</source>
        <translation>...</translation>
    </message>
</context>
<context>
    <name>zarvion::viewer::AlarmSound</name>
    <message>
        <source>没有音频输出设备</source>
        <translation>no audio output device</translation>
    </message>
    <message>
        <source>音频输出出错</source>
        <translation>the audio output failed</translation>
    </message>
</context>
<context>
    <name>zarvion::viewer::AlarmStrip</name>
    <message>
        <source>确认</source>
        <translation>Acknowledge</translation>
    </message>
    <message numerus="yes">
        <source>%n 个未确认的报警</source>
        <translation>
            <numerusform>%n unacknowledged alarm</numerusform>
            <numerusform>%n unacknowledged alarms</numerusform>
        </translation>
    </message>
</context>
<context>
    <name>zarvion::viewer::ConnectDialog</name>
    <message>
        <source>连接录像机</source>
        <translation>Connect to recorder</translation>
    </message>
    <message>
        <source>例如 192.168.1.10</source>
        <translation>e.g. 192.168.1.10</translation>
    </message>
    <message>
        <source>记住登录参数</source>
        <translation>Remember login parameter</translation>
    </message>
    <message>
        <source>连接</source>
        <translation>Connect</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>地址：</source>
        <translation>Address:</translation>
    </message>
    <message>
        <source>端口：</source>
        <translation>Port:</translation>
    </message>
    <message>
        <source>登录参数：</source>
        <translation>Login parameter:</translation>
    </message>
    <message>
        <source>地址须为点分十进制的 IPv4 地址（例如 192.168.1.10）或主机名。</source>
        <translation>The address must be a dotted IPv4 address (e.g. 192.168.1.10) or a host name.</translation>
    </message>
    <message>
        <source>端口须为 1 到 65535 之间的数字。</source>
        <translation>The port must be a number from 1 to 65535.</translation>
    </message>
    <message>
        <source>正在解析 %1…</source>
        <translation>Looking up %1…</translation>
    </message>
    <message>
        <source>地址的各段不能以 0 开头：请写作 %1。</source>
        <translation>No part of the address may start with 0: write %1.</translation>
    </message>
    <message>
        <source>%1 不是录像机的地址，无法连接：请填写录像机的 IP 地址。</source>
        <translation>%1 is not a recorder&apos;s address and cannot be connected to: enter the recorder&apos;s IP address.</translation>
    </message>
</context>
<context>
    <name>zarvion::viewer::EventDock</name>
    <message>
        <source>事件</source>
        <translation>Events</translation>
    </message>
    <message>
        <source>全部</source>
        <translation>All</translation>
    </message>
    <message>
        <source>录像机：</source>
        <translation>Recorder:</translation>
    </message>
    <message>
        <source>类型：</source>
        <translation>Kind:</translation>
    </message>
    <message>
        <source>确认</source>
        <translation>Acknowledge</translation>
    </message>
    <message>
        <source>全部确认</source>
        <translation>Acknowledge all</translation>
    </message>
    <message>
        <source>打开录像</source>
        <translation>Open recording</translation>
    </message>
    <message>
        <source>打开所在文件夹</source>
        <translation>Open containing folder</translation>
    </message>
</context>
<context>
    <name>zarvion::viewer::EventModel</name>
    <message>
        <source>：</source>
        <translation>: </translation>
    </message>
    <message>
        <source>时间</source>
        <translation>Time</translation>
    </message>
    <message>
        <source>录像机</source>
        <translation>Recorder</translation>
    </message>
    <message>
        <source>摄像机</source>
        <translation>Camera</translation>
    </message>
    <message>
        <source>事件内容</source>
        <translation>What happened</translation>
    </message>
    <message>
        <source>录像：</source>
        <translation>Recording: </translation>
    </message>
</context>
<context>
    <name>zarvion::viewer::EventStore</name>
    <message>
        <source>录像机已连接</source>
        <translation>Recorder connected</translation>
    </message>
    <message>
        <source>录像机连接中断</source>
        <translation>Recorder connection lost</translation>
    </message>
    <message>
        <source>无法连接录像机</source>
        <translation>Recorder unreachable</translation>
    </message>
    <message>
        <source>登录被拒绝</source>
        <translation>Login refused</translation>
    </message>
    <message>
        <source>视频丢失</source>
        <translation>Video lost</translation>
    </message>
    <message>
        <source>视频恢复</source>
        <translation>Video back</translation>
    </message>
    <message>
        <source>开始录像</source>
        <translation>Recording started</translation>
    </message>
    <message>
        <source>录像已停止</source>
        <translation>Recording stopped</translation>
    </message>
    <message>
        <source>录像中断</source>
        <translation>Recording interrupted</translation>
    </message>
    <message>
        <source>录像已恢复</source>
        <translation>Recording resumed</translation>
    </message>
    <message>
        <source>抓图已保存</source>
        <translation>Snapshot saved</translation>
    </message>
    <message>
        <source>抓图失败</source>
        <translation>Snapshot failed</translation>
    </message>
    <message>
        <source>磁盘空间不足</source>
        <translation>Disk space low</translation>
    </message>
    <message>
        <source>录像机消息</source>
        <translation>Recorder message</translation>
    </message>
    <message>
        <source>事件数据库已另存</source>
        <translation>Event database set aside</translation>
    </message>
    <message>
        <source>未知事件</source>
        <translation>Unknown event</translation>
    </message>
    <message>
        <source>无法播放报警声音</source>
        <translation>Alarm sound unavailable</translation>
    </message>
    <message>
        <source>移动侦测</source>
        <translation>Motion</translation>
    </message>
    <message>
        <source>录像已导出</source>
        <translation>Recording exported</translation>
    </message>
    <message>
        <source>录像导出失败</source>
        <translation>Recording export failed</translation>
    </message>
    <message>
        <source>移动报警</source>
        <translation>Motion alarm</translation>
    </message>
</context>
<context>
    <name>zarvion::viewer::ExportDialog</name>
    <message>
        <source>导出录像</source>
        <translation>Export recordings</translation>
    </message>
    <message>
        <source>%1 至 %2</source>
        <translation>%1 to %2</translation>
    </message>
    <message>
        <source>浏览…</source>
        <translation>Browse…</translation>
    </message>
    <message>
        <source>MP4 (H.264)</source>
        <translation>MP4 (H.264)</translation>
    </message>
    <message>
        <source>AVI（原始帧）</source>
        <translation>AVI (original frames)</translation>
    </message>
    <message>
        <source>叠加时间</source>
        <translation>Burn in the time</translation>
    </message>
    <message>
        <source>包含抓图</source>
        <translation>Include snapshots</translation>
    </message>
    <message>
        <source>导出</source>
        <translation>Export</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>打开所在文件夹</source>
        <translation>Open containing folder</translation>
    </message>
    <message>
        <source>时间：</source>
        <translation>Time:</translation>
    </message>
    <message>
        <source>文件：</source>
        <translation>File:</translation>
    </message>
    <message>
        <source>格式：</source>
        <translation>Format:</translation>
    </message>
    <message>
        <source>这段时间没有录像</source>
        <translation>No recordings in this period</translation>
    </message>
    <message>
        <source>导出到</source>
        <translation>Export to</translation>
    </message>
    <message>
        <source>AVI 文件 (*.avi)</source>
        <translation>AVI files (*.avi)</translation>
    </message>
    <message>
        <source>MP4 文件 (*.mp4)</source>
        <translation>MP4 files (*.mp4)</translation>
    </message>
    <message>
        <source>请选择导出文件</source>
        <translation>Choose the file to export to</translation>
    </message>
    <message>
        <source>无法创建文件夹：%1</source>
        <translation>Cannot create the folder: %1</translation>
    </message>
    <message>
        <source>正在导出…</source>
        <translation>Exporting…</translation>
    </message>
    <message>
        <source>正在取消…</source>
        <translation>Cancelling…</translation>
    </message>
    <message>
        <source>_抓图</source>
        <translation>_snapshots</translation>
    </message>
    <message>
        <source>已导出 %1 帧：%2</source>
        <translation>Exported %1 frames: %2</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>已取消</source>
        <translation>Cancelled</translation>
    </message>
    <message>
        <source>导出已取消</source>
        <translation>Export cancelled</translation>
    </message>
    <message>
        <source>导出失败：%1</source>
        <translation>Export failed: %1</translation>
    </message>
</context>
<context>
    <name>zarvion::viewer::HostResolver</name>
    <message>
        <source>主机 %1 没有 IPv4 地址</source>
        <translation>Host %1 has no IPv4 address</translation>
    </message>
    <message>
        <source>找不到主机 %1</source>
        <translation>Host %1 not found</translation>
    </message>
    <message>
        <source>无法解析主机名 %1：%2</source>
        <translation>Cannot look up host name %1: %2</translation>
    </message>
</context>
<context>
    <name>zarvion::viewer::MainWindow</name>
    <message>
        <source>录像机(&amp;R)</source>
        <translation>&amp;Recorder</translation>
    </message>
    <message>
        <source>连接录像机…</source>
        <translation>Connect to recorder…</translation>
    </message>
    <message>
        <source>最近的录像机</source>
        <translation>Recent recorders</translation>
    </message>
    <message>
        <source>断开</source>
        <translation>Disconnect</translation>
    </message>
    <message>
        <source>新建标签页</source>
        <translation>New tab</translation>
    </message>
    <message>
        <source>关闭标签页</source>
        <translation>Close tab</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>Quit</translation>
    </message>
    <message>
        <source>查看(&amp;V)</source>
        <translation>&amp;View</translation>
    </message>
    <message>
        <source>全屏</source>
        <translation>Full screen</translation>
    </message>
    <message>
        <source>工具栏</source>
        <translation>Toolbar</translation>
    </message>
    <message>
        <source>下次启动查看器时生效</source>
        <translation>Takes effect the next time the viewer starts</translation>
    </message>
    <message>
        <source>未连接</source>
        <translation>Not connected</translation>
    </message>
    <message>
        <source>Zarvion 查看器 — %1</source>
        <translation>Zarvion viewer — %1</translation>
    </message>
    <message>
        <source>立即重连</source>
        <translation>Reconnect now</translation>
    </message>
    <message>
        <source>命名…</source>
        <translation>Name…</translation>
    </message>
    <message>
        <source>静音</source>
        <translation>Mute</translation>
    </message>
    <message>
        <source>：</source>
        <translation>: </translation>
    </message>
    <message>
        <source>正在整理录像目录：%1 / %2</source>
        <translation>Indexing recordings: %1 / %2</translation>
    </message>
    <message>
        <source>录像回放</source>
        <translation>Playback</translation>
    </message>
</context>
<context>
    <name>zarvion::viewer::MotionDialog</name>
    <message>
        <source>移动侦测设置 - %1</source>
        <translation>Motion detection settings - %1</translation>
    </message>
    <message>
        <source>移动侦测</source>
        <translation>Motion detection</translation>
    </message>
    <message>
        <source>移动侦测录像</source>
        <translation>Record on motion</translation>
    </message>
    <message>
        <source>作为报警</source>
        <translation>Treat as alarm</translation>
    </message>
    <message>
        <source>擦除</source>
        <translation>Erase</translation>
    </message>
    <message>
        <source>清除</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>灵敏度</source>
        <translation>Sensitivity</translation>
    </message>
    <message>
        <source>拖动以屏蔽区块，右键拖动以擦除</source>
        <translation>Drag to mask blocks, drag with the right button to erase</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>zarvion::viewer::NameDialog</name>
    <message>
        <source>命名</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>摄像机</source>
        <translation>Cameras</translation>
    </message>
    <message>
        <source>在画面标题中显示摄像机名称</source>
        <translation>Show camera names in the picture captions</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>录像机名称：</source>
        <translation>Recorder name:</translation>
    </message>
</context>
<context>
    <name>zarvion::viewer::RecorderTab</name>
    <message>
        <source>地址无效</source>
        <translation>invalid address</translation>
    </message>
    <message>
        <source>连接被拒绝</source>
        <translation>connection refused</translation>
    </message>
    <message>
        <source>网络或主机不可达</source>
        <translation>network or host unreachable</translation>
    </message>
    <message>
        <source>连接超时</source>
        <translation>connection timed out</translation>
    </message>
    <message>
        <source>录像机关闭了连接</source>
        <translation>the recorder closed the connection</translation>
    </message>
    <message>
        <source>连接意外中断</source>
        <translation>connection lost</translation>
    </message>
    <message>
        <source>连接失败</source>
        <translation>connection failed</translation>
    </message>
    <message>
        <source>画面已停止 %1 秒</source>
        <translation>Picture stopped %1 s</translation>
    </message>
    <message>
        <source>新标签页</source>
        <translation>New tab</translation>
    </message>
    <message>
        <source>未连接：按 Ctrl+O 连接录像机</source>
        <translation>Not connected: press Ctrl+O to connect to a recorder</translation>
    </message>
    <message>
        <source>已断开 %1</source>
        <translation>Disconnected from %1</translation>
    </message>
    <message>
        <source>正在连接 %1…</source>
        <translation>Connecting to %1…</translation>
    </message>
    <message>
        <source>画面已停止：%1 秒未收到视频</source>
        <translation>Picture stopped: no video for %1 s</translation>
    </message>
    <message>
        <source>连接中断，正在重连…</source>
        <translation>Connection lost, reconnecting…</translation>
    </message>
    <message>
        <source>无法连接 %1：%2，%3 秒后重试</source>
        <translation>Cannot connect to %1: %2, retrying in %3 s</translation>
    </message>
    <message>
        <source>未连接</source>
        <translation>Not connected</translation>
    </message>
    <message>
        <source>已连接 %1，%2 秒未收到视频</source>
        <translation>Connected to %1, no video for %2 s</translation>
    </message>
    <message>
        <source>已连接 %1，%2 路画面已停止</source>
        <translation>Connected to %1, %2 pictures stopped</translation>
    </message>
    <message>
        <source>已连接 %1</source>
        <translation>Connected to %1</translation>
    </message>
    <message>
        <source>正在连接 %1</source>
        <translation>Connecting to %1</translation>
    </message>
    <message>
        <source>连接中断 %1：%2，正在重连</source>
        <translation>Connection to %1 lost: %2, reconnecting</translation>
    </message>
    <message>
        <source>抓图已保存：%1</source>
        <translation>Snapshot saved: %1</translation>
    </message>
    <message>
        <source>抓图未能保存：%1</source>
        <translation>Snapshot could not be saved: %1</translation>
    </message>
    <message>
        <source>录像机拒绝了登录参数</source>
        <translation>the recorder refused the login parameters</translation>
    </message>
    <message>
        <source>立即重连</source>
        <translation>Reconnect now</translation>
    </message>
    <message>
        <source>更改登录…</source>
        <translation>Change login…</translation>
    </message>
    <message>
        <source>无法连接 %1：%2，已停止重试</source>
        <translation>Cannot connect to %1: %2, no more retries</translation>
    </message>
    <message>
        <source>%1 秒后重试</source>
        <translation>retrying in %1 s</translation>
    </message>
    <message>
        <source>磁盘已满</source>
        <translation>Disk full</translation>
    </message>
    <message>
        <source>抓图文件夹无法写入</source>
        <translation>Cannot write to the snapshot folder</translation>
    </message>
    <message>
        <source>录像文件夹无法写入</source>
        <translation>Cannot write to the recording folder</translation>
    </message>
    <message>
        <source>连接中断</source>
        <translation>Connection lost</translation>
    </message>
    <message>
        <source>没有可保存的画面</source>
        <translation>No picture to save</translation>
    </message>
    <message>
        <source>文件无法写入</source>
        <translation>The file could not be written</translation>
    </message>
    <message>
        <source>通道无画面，录像未能恢复</source>
        <translation>The channel shows no picture; the recording was not resumed</translation>
    </message>
    <message>
        <source>● REC</source>
        <translation>● REC</translation>
    </message>
    <message>
        <source>%1，已停止重试</source>
        <translation>%1; no more retries</translation>
    </message>
    <message>
        <source>命名…</source>
        <translation>Name…</translation>
    </message>
    <message>
        <source>变化 %1%</source>
        <translation>Changed %1%</translation>
    </message>
    <message>
        <source>● 移动</source>
        <translation>● MOTION</translation>
    </message>
    <message>
        <source>移动侦测</source>
        <translation>Motion detection</translation>
    </message>
    <message>
        <source>移动侦测录像</source>
        <translation>Record on motion</translation>
    </message>
    <message>
        <source>移动侦测设置…</source>
        <translation>Motion detection settings…</translation>
    </message>
    <message>
        <source>显示移动区块</source>
        <translation>Show moving blocks</translation>
    </message>
</context>
<context>
    <name>zarvion::viewer::ReviewPlayer</name>
    <message>
        <source>上一帧</source>
        <translation>Previous frame</translation>
    </message>
    <message>
        <source>下一帧</source>
        <translation>Next frame</translation>
    </message>
    <message>
        <source>抓图</source>
        <translation>Snap</translation>
    </message>
    <message>
        <source>播放速度</source>
        <translation>Playback speed</translation>
    </message>
    <message>
        <source>拖动定位</source>
        <translation>Drag to seek</translation>
    </message>
    <message>
        <source>暂停</source>
        <translation>Pause</translation>
    </message>
    <message>
        <source>播放</source>
        <translation>Play</translation>
    </message>
</context>
<context>
    <name>zarvion::viewer::ReviewWindow</name>
    <message>
        <source>导出…</source>
        <translation>Export…</translation>
    </message>
    <message>
        <source>录像回放</source>
        <translation>Playback</translation>
    </message>
    <message>
        <source>当天的抓图</source>
        <translation>The day&apos;s snapshots</translation>
    </message>
    <message>
        <source>按住 Shift 在时间轴上拖动以选择导出范围</source>
        <translation>Hold Shift and drag on the timeline to choose a range to export</translation>
    </message>
    <message>
        <source>CH %1：%2 – %3</source>
        <translation>CH %1: %2 – %3</translation>
    </message>
    <message>
        <source>抓图</source>
        <translation>Snap</translation>
    </message>
</context>
</TS>
