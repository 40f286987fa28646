<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="en_US">
<context>
    <name>Tamber</name>
    <message>
        <source>&amp;About %1...</source>
        <translation>&amp;About %1...</translation>
    </message>
    <message>
        <source>About %1</source>
        <translation>About %1</translation>
    </message>
    <message>
        <source>Please plug in a configured device via USB cable to test...</source>
        <translation>Please plug in a configured device via USB cable to test...</translation>
    </message>
    <message>
        <source>Please unplug this device...</source>
        <translation>Please unplug this device...</translation>
    </message>
    <message>
        <source>Initialize device&#9;</source>
        <translation>Initialize device&#9;</translation>
    </message>
    <message>
        <source>Check chip version&#9;</source>
        <translation>Check chip version&#9;</translation>
    </message>
    <message>
        <source>Verify configuration&#9;</source>
        <translation>Verify configuration&#9;</translation>
    </message>
    <message>
        <source>Attention</source>
        <translation>Attention</translation>
    </message>
    <message>
        <source>Start</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>This result was NOT stored in the station&apos;s ledger. Ask the station&apos;s administrator.</source>
        <translation>This result was NOT stored in the station&apos;s ledger. Ask the station&apos;s administrator.</translation>
    </message>
    <message>
        <source>Results cannot be stored in the station&apos;s ledger: this user cannot write %1. Ask the station&apos;s administrator to add you to the group qt7730-mfg, then log in again.</source>
        <translation>Results cannot be stored in the station&apos;s ledger: this user cannot write %1. Ask the station&apos;s administrator to add you to the group qt7730-mfg, then log in again.</translation>
    </message>
    <message>
        <source>The virtual bench is not running, so no cable can be found. Start it with &quot;vbench start&quot;; Tamber picks it up without being restarted.</source>
        <translation>The virtual bench is not running, so no cable can be found. Start it with &quot;vbench start&quot;; Tamber picks it up without being restarted.</translation>
    </message>
    <message>
        <source>Results cannot be stored in the station&apos;s ledger: this user cannot write %1. Ask the station&apos;s administrator to install the kit with its installer (MSI) or to repair the installation: it lets every user of this PC write the station&apos;s data folder.</source>
        <translation>Results cannot be stored in the station&apos;s ledger: this user cannot write %1. Ask the station&apos;s administrator to install the kit with its installer (MSI) or to repair the installation: it lets every user of this PC write the station&apos;s data folder.</translation>
    </message>
</context>
</TS>
