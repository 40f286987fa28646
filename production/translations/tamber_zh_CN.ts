<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN" sourcelanguage="en_US">
<context>
    <name>Tamber</name>
    <message>
        <source>&amp;About %1...</source>
        <translation>关于%1...(&amp;A)</translation>
    </message>
    <message>
        <source>About %1</source>
        <translation>关于%1</translation>
    </message>
    <message>
        <source>Please plug in a configured device via USB cable to test...</source>
        <translation>请以USB线连接一个已设定过的装置来进行测试...</translation>
    </message>
    <message>
        <source>Please unplug this device...</source>
        <translation>请拔除此装置...</translation>
    </message>
    <message>
        <source>Initialize device&#9;</source>
        <translation>启用装置&#9;</translation>
    </message>
    <message>
        <source>Check chip version&#9;</source>
        <translation>检查chip版本&#9;</translation>
    </message>
    <message>
        <source>Verify configuration&#9;</source>
        <translation>核对EEPROM资料&#9;</translation>
    </message>
    <message>
        <source>Attention</source>
        <translation>注意</translation>
    </message>
    <message>
        <source>Start</source>
        <translation>开始</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>确定</translation>
    </message>
    <message>
        <source>This result was NOT stored in the station&apos;s ledger. Ask the station&apos;s administrator.</source>
        <translation>此结果未能存入本工作站的记录。请联系工作站管理员。</translation>
    </message>
    <message>
        <source>Results cannot be stored in the station&apos;s ledger: this user cannot write %1. Ask the station&apos;s administrator to add you to the group qt7730-mfg, then log in again.</source>
        <translation>测试结果无法存入本工作站的记录：此用户无法写入 %1。请工作站管理员将您加入 qt7730-mfg 组，然后重新登录。</translation>
    </message>
    <message>
        <source>The virtual bench is not running, so no cable can be found. Start it with &quot;vbench start&quot;; Tamber picks it up without being restarted.</source>
        <translation>虚拟测试台没有运行，因此找不到任何线缆。请用 &quot;vbench start&quot; 启动它；Tamber 无需重新启动即可发现它。</translation>
    </message>
    <message>
        <source>Results cannot be stored in the station&apos;s ledger: this user cannot write %1. Ask the station&apos;s administrator to install the kit with its installer (MSI) or to repair the installation: it lets every user of this PC write the station&apos;s data folder.</source>
        <translation>测试结果无法存入本工作站的记录：此用户无法写入 %1。请工作站管理员用安装程序（MSI）安装本套件或修复安装：安装程序允许本机所有用户写入工作站的数据文件夹。</translation>
    </message>
</context>
</TS>
