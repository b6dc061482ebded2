-- New, empty main database of the installed release (4.0).
CREATE TABLE qorreleases (no LONG, productname TEXT(10), servicepack LONG, buildno LONG);
INSERT INTO qorreleases VALUES (1, '3.0', 0, 118);
INSERT INTO qorreleases VALUES (2, '3.5', 0, 214);
INSERT INTO qorreleases VALUES (3, '3.5', 1, 230);
INSERT INTO qorreleases VALUES (4, '3.5', 2, 251);
INSERT INTO qorreleases VALUES (5, '4.0', 0, 300);

CREATE TABLE export (sno LONG, oldtablename TEXT(64), olddbfieldname TEXT(64),
                     newtablename TEXT(64), newdbfieldname TEXT(64), autonumber YESNO,
                     releaseversion LONG);
-- customers: plain append (mode A), before Sites so the customer link finds them.
INSERT INTO export VALUES (1, 'customers', 'id', 'customers', 'customerID', 0, 1);
INSERT INTO export VALUES (1, 'customers', 'Name', 'customers', 'Name', 0, 1);
INSERT INTO export VALUES (1, 'customers', 'city[30]', 'customers', 'city', 0, 1);
-- Sites: the second field is the customer link (mode B).
INSERT INTO export VALUES (2, 'sites', 'siteID', 'Sites', 'siteID', 0, 1);
INSERT INTO export VALUES (2, 'sites', 'customerID', 'Sites', 'customerID', -1, 1);
INSERT INTO export VALUES (2, 'sites', 'Name', 'Sites', 'Name', 0, 1);
-- users: plain append (mode A).
INSERT INTO export VALUES (3, 'users', 'userID', 'users', 'userID', 0, 1);
INSERT INTO export VALUES (3, 'users', 'userName', 'users', 'loginName', 0, 1);
INSERT INTO export VALUES (3, 'users', 'fullName', 'users', 'fullName', 0, 1);
INSERT INTO export VALUES (3, 'users', 'active', 'users', 'active', 0, 1);
-- zones became areas in release 3.5 (number 2): renamed table.
INSERT INTO export VALUES (4, 'zones', 'zoneID', 'areas', 'areaID', 0, 2);
INSERT INTO export VALUES (4, 'zones', 'zoneName', 'areas', 'areaName', 0, 2);
-- legacylog has no successor.
INSERT INTO export VALUES (5, 'legacylog', 'entry', 'legacylog', 'entry', 0, 1);
INSERT INTO export VALUES (5, 'legacylog', 'entry', 'DeletedTable', 'entry', 0, 5);

CREATE TABLE customers (customerID LONG PRIMARY KEY, Name TEXT(50) NOT NULL, city TEXT(30),
                        country TEXT(30) DEFAULT 'United Kingdom');
CREATE TABLE Sites (siteID LONG PRIMARY KEY, customerID LONG, Name TEXT(50),
                    timezone TEXT(40) DEFAULT 'Europe/London');
CREATE TABLE users (userID LONG PRIMARY KEY, loginName TEXT(20) NOT NULL, fullName TEXT(50),
                    active YESNO DEFAULT 0, lastLogin DATETIME);
CREATE TABLE areas (areaID LONG PRIMARY KEY, areaName TEXT(30));
