<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE" sourcelanguage="en">
<context>
    <name>QMError</name>
    <message>
        <location filename="../src/QMFoundation/errors/QMError.cpp" line="40"/>
        <source>The operation could not be completed. (%1 error %2.)</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>QMNetworkReachability</name>
    <message>
        <location filename="../src/QMFoundation/platform/QMNetworkReachability.cpp" line="120"/>
        <source>&quot;%1&quot; is not an IPv4 address.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>QMOptionParser</name>
    <message>
        <location filename="../src/QMFoundation/options/QMOptionParser.cpp" line="120"/>
        <source>an option without a name</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../src/QMFoundation/options/QMOptionParser.cpp" line="125"/>
        <source>%1 is not an option of the command %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../src/QMFoundation/options/QMOptionParser.cpp" line="294"/>
        <source>Error. Unknown option: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../src/QMFoundation/options/QMOptionParser.cpp" line="322"/>
        <source>Error. Missing required options

Required options are:
%1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../src/QMFoundation/options/QMOptionParser.cpp" line="411"/>
        <source>%1 is not a sub-command of %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../src/QMFoundation/options/QMOptionParser.cpp" line="445"/>
        <source>missing required option %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../src/QMFoundation/options/QMOptionParser.cpp" line="447"/>
        <source>missing required options %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>QMRESTAPIJSONParser</name>
    <message>
        <location filename="../src/QMFoundation/rest/QMRESTAPIJSONParser.cpp" line="19"/>
        <source>Unexpected JSON contents.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>RelativeDateString</name>
    <message>
        <location filename="../src/QMFoundation/dates/RelativeDateString.cpp" line="71"/>
        <source>less than a minute</source>
        <translation>weniger als eine Minute</translation>
    </message>
    <message>
        <location filename="../src/QMFoundation/dates/RelativeDateString.cpp" line="73"/>
        <source>1 minute</source>
        <translation>1 Minute</translation>
    </message>
    <message numerus="yes">
        <location filename="../src/QMFoundation/dates/RelativeDateString.cpp" line="75"/>
        <source>%li minutes</source>
        <translation>
            <numerusform>%li Minute</numerusform>
            <numerusform>%li Minuten</numerusform>
        </translation>
    </message>
    <message>
        <location filename="../src/QMFoundation/dates/RelativeDateString.cpp" line="77"/>
        <source>1 hour</source>
        <translation>1 Stunde</translation>
    </message>
    <message numerus="yes">
        <location filename="../src/QMFoundation/dates/RelativeDateString.cpp" line="79"/>
        <source>%li hours</source>
        <translation>
            <numerusform>%li Stunde</numerusform>
            <numerusform>%li Stunden</numerusform>
        </translation>
    </message>
    <message>
        <location filename="../src/QMFoundation/dates/RelativeDateString.cpp" line="82"/>
        <source>1 day</source>
        <translation>1 Tag</translation>
    </message>
    <message numerus="yes">
        <location filename="../src/QMFoundation/dates/RelativeDateString.cpp" line="84"/>
        <source>%li days</source>
        <translation>
            <numerusform>%li Tag</numerusform>
            <numerusform>%li Tage</numerusform>
        </translation>
    </message>
    <message>
        <location filename="../src/QMFoundation/dates/RelativeDateString.cpp" line="87"/>
        <source>1 month</source>
        <translation>1 Monat</translation>
    </message>
    <message numerus="yes">
        <location filename="../src/QMFoundation/dates/RelativeDateString.cpp" line="89"/>
        <source>%li months</source>
        <translation>
            <numerusform>%li Monat</numerusform>
            <numerusform>%li Monate</numerusform>
        </translation>
    </message>
    <message>
        <location filename="../src/QMFoundation/dates/RelativeDateString.cpp" line="92"/>
        <source>1 year</source>
        <translation>1 Jahr</translation>
    </message>
    <message numerus="yes">
        <location filename="../src/QMFoundation/dates/RelativeDateString.cpp" line="93"/>
        <source>%li years</source>
        <translation>
            <numerusform>%li Jahr</numerusform>
            <numerusform>%li Jahre</numerusform>
        </translation>
    </message>
</context>
</TS>
