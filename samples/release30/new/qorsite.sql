-- New main database delivered with the release. relamor3035 reads the
-- mapping export3035 (walked in ascending sno); the start-up only checks that
-- export holds rows.
CREATE TABLE qorreleases (no LONG, productname TEXT(10), servicepack LONG, buildno LONG);
INSERT INTO qorreleases VALUES (1, '3.0', 0, 118);
INSERT INTO qorreleases VALUES (2, '3.5', 0, 214);

CREATE TABLE export (sno LONG, oldtablename TEXT(64), olddbfieldname TEXT(64),
                     newtablename TEXT(64), newdbfieldname TEXT(64), autonumber YESNO,
                     releaseversion LONG);
INSERT INTO export VALUES (10, 'customers', 'customerID', 'Customers', 'customerID', 0, 1);
INSERT INTO export VALUES (10, 'customers', 'name', 'Customers', 'Name', 0, 1);
INSERT INTO export VALUES (10, 'customers', 'city', 'Customers', 'city', 0, 1);

CREATE TABLE export3035 (sno LONG, oldtablename TEXT(64), olddbfieldname TEXT(64),
                         newtablename TEXT(64), newdbfieldname TEXT(64), autonumber YESNO);
-- Every table is copied field by field, "Customers" and "channel" included.
INSERT INTO export3035 VALUES (10, 'customers', 'customerID', 'Customers', 'customerID', 0);
INSERT INTO export3035 VALUES (10, 'customers', 'name', 'Customers', 'Name', 0);
INSERT INTO export3035 VALUES (10, 'customers', 'city', 'Customers', 'city', 0);
INSERT INTO export3035 VALUES (20, 'sites', 'siteID', 'Sites', 'siteID', 0);
INSERT INTO export3035 VALUES (20, 'sites', 'customerID', 'Sites', 'customerID', 0);
INSERT INTO export3035 VALUES (20, 'sites', 'siteName', 'Sites', 'siteName', 0);
INSERT INTO export3035 VALUES (30, 'channel', 'channelID', 'channel', 'channelID', 0);
INSERT INTO export3035 VALUES (30, 'channel', 'siteID', 'channel', 'siteID', 0);
INSERT INTO export3035 VALUES (30, 'channel', 'channelName', 'channel', 'channelName', 0);
INSERT INTO export3035 VALUES (30, 'channel', 'channeltype', 'channel', 'channeltype', 0);

CREATE TABLE customers (customerID SHORT PRIMARY KEY, Name TEXT(50), city TEXT(50));
CREATE TABLE sites (siteID LONG PRIMARY KEY, customerID SHORT, siteName TEXT(50));
CREATE TABLE channel (channelID LONG PRIMARY KEY, siteID LONG, channelName TEXT(50),
                      channeltype TEXT(2));
