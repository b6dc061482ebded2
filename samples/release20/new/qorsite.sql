-- New main database delivered with the release: the mapping of the main
-- tables and their empty new layout. The mapping is walked in ascending sno:
-- customers before sites (the placeholder customers follow the converted
-- ones), channel before the connection tables, modemconnection before prompt.
CREATE TABLE qorreleases (no LONG, productname TEXT(10), servicepack LONG, buildno LONG);
INSERT INTO qorreleases VALUES (1, '3.5', 0, 214);

CREATE TABLE export (sno LONG, oldtablename TEXT(64), olddbfieldname TEXT(64),
                     newtablename TEXT(64), newdbfieldname TEXT(64), autonumber YESNO,
                     releaseversion LONG);
-- Customers: one row per customer id, rebuilt from the old rows.
INSERT INTO export VALUES (10, 'customers', 'id', 'Customers', 'customerID', 0, 1);
INSERT INTO export VALUES (10, 'customers', 'name', 'Customers', 'Name', 0, 1);
INSERT INTO export VALUES (10, 'customers', 'address', 'Customers', 'address', 0, 1);
-- Sites: placeholder customers first, then the copy with the second field
-- linked to the site's customer (mode B).
INSERT INTO export VALUES (20, 'sites', 'id', 'Sites', 'siteID', 0, 1);
INSERT INTO export VALUES (20, 'sites', 'id', 'Sites', 'customerID', -1, 1);
INSERT INTO export VALUES (20, 'sites', 'siteName', 'Sites', 'siteName', 0, 1);
INSERT INTO export VALUES (20, 'sites', 'city', 'Sites', 'city', 0, 1);
-- channel: one new row per occupied slot.
INSERT INTO export VALUES (30, 'channel', 'id', 'channel', 'channelID', 0, 1);
INSERT INTO export VALUES (30, 'channel', 'siteID', 'channel', 'siteID', 0, 1);
INSERT INTO export VALUES (30, 'channel', 'location', 'channel', 'channelName[1]', 0, 1);
INSERT INTO export VALUES (30, 'channel', 'slot1', 'channel', 'channeltype', 0, 1);
-- Connection tables: the first two rows name the skeleton columns.
INSERT INTO export VALUES (40, 'modemconnection', 'id', 'modemconnection', 'channelID', 0, 1);
INSERT INTO export VALUES (40, 'modemconnection', 'id', 'modemconnection', 'modemID', 0, 1);
INSERT INTO export VALUES (40, 'modemconnection', 'phoneNumber', 'modemconnection', 'phoneNumber', 0, 1);
INSERT INTO export VALUES (40, 'modemconnection', 'initString', 'modemconnection', 'initString', 0, 1);
INSERT INTO export VALUES (40, 'modemconnection', 'baudRate', 'modemconnection', 'baudRate', 0, 1);
INSERT INTO export VALUES (50, 'ipconnection', 'id', 'ipconnection', 'channelID', 0, 1);
INSERT INTO export VALUES (50, 'ipconnection', 'id', 'ipconnection', 'ipConnectionID', 0, 1);
INSERT INTO export VALUES (50, 'ipconnection', 'ipAddress', 'ipconnection', 'ipAddress', 0, 1);
INSERT INTO export VALUES (60, 'serialconnection', 'id', 'serialconnection', 'channelID', 0, 1);
INSERT INTO export VALUES (60, 'serialconnection', 'id', 'serialconnection', 'serialConnectionID', 0, 1);
INSERT INTO export VALUES (60, 'serialconnection', 'comPort', 'serialconnection', 'comPort', 0, 1);
-- prompt: one new row per pair, tied to the modem connection.
INSERT INTO export VALUES (70, 'prompt', 'id', 'prompt', 'promptID', 0, 1);
INSERT INTO export VALUES (70, 'prompt', 'id', 'prompt', 'modemID', 0, 1);
INSERT INTO export VALUES (70, 'prompt', 'expect1', 'prompt', 'expectText', 0, 1);
INSERT INTO export VALUES (70, 'prompt', 'send1', 'prompt', 'sendText', 0, 1);
-- operators: plain append (mode A).
INSERT INTO export VALUES (80, 'operators', 'id', 'operators', 'operatorID', 0, 1);
INSERT INTO export VALUES (80, 'operators', 'name', 'operators', 'operatorName', 0, 1);
INSERT INTO export VALUES (80, 'operators', 'shift', 'operators', 'shift', 0, 1);

CREATE TABLE customers (customerID SHORT PRIMARY KEY, Name TEXT(50), address TEXT(80),
                        city TEXT(50), region TEXT(50), zipcode TEXT(10), country TEXT(50));
CREATE TABLE sites (siteID LONG PRIMARY KEY, customerID SHORT, siteName TEXT(50),
                    city TEXT(50));
CREATE TABLE channel (channelID LONG PRIMARY KEY, siteID LONG, channelName TEXT(50),
                      channeltype TEXT(2));
-- The modem key stands at position 1: prompts take it from there.
CREATE TABLE modemconnection (channelID LONG, modemID LONG PRIMARY KEY, phoneNumber TEXT(30),
                              initString TEXT(50), baudRate LONG);
CREATE TABLE ipconnection (ipConnectionID LONG PRIMARY KEY, channelID LONG,
                           ipAddress TEXT(15), port LONG DEFAULT 5000);
CREATE TABLE serialconnection (serialConnectionID LONG PRIMARY KEY, channelID LONG,
                               comPort TEXT(10));
CREATE TABLE prompt (promptID LONG PRIMARY KEY, modemID LONG, expectText TEXT(50),
                     sendText TEXT(50));
CREATE TABLE operators (operatorID LONG PRIMARY KEY, operatorName TEXT(50), shift TEXT(10));
