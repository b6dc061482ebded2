-- Main database of a release 3.0 installation: two sites, their customers and
-- the channels of the sites (already one row per channel in this release).
CREATE TABLE qorreleases (no LONG, productname TEXT(10), servicepack LONG, buildno LONG);
INSERT INTO qorreleases VALUES (1, '3.0', 0, 118);

CREATE TABLE sites (siteID LONG, siteName TEXT(50), customerID LONG);
INSERT INTO sites VALUES (4, 'Harbour North', 3);
INSERT INTO sites VALUES (31, 'Airport Cargo', 8);

CREATE TABLE customers (customerID LONG, name TEXT(50), city TEXT(50));
INSERT INTO customers VALUES (3, 'Veldkamp Logistics', 'Rotterdam');
INSERT INTO customers VALUES (8, 'Schiphol Handling', 'Haarlemmermeer');

CREATE TABLE channel (channelID LONG, siteID LONG, channelName TEXT(50), channeltype TEXT(2));
INSERT INTO channel VALUES (1, 4, 'Channel1', '2');
INSERT INTO channel VALUES (2, 4, 'Channel2', '3');
INSERT INTO channel VALUES (3, 31, 'Channel3', '3');
