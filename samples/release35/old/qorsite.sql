-- Old main database of a release 3.5 installation: three sites, their
-- customers, the operators, and two tables the new release reshapes.
CREATE TABLE qorreleases (no LONG, productname TEXT(10), servicepack LONG, buildno LONG);
INSERT INTO qorreleases VALUES (1, '3.0', 0, 118);
INSERT INTO qorreleases VALUES (2, '3.5', 0, 214);

CREATE TABLE sites (siteID LONG, Name TEXT(50), region TEXT(20));
INSERT INTO sites VALUES (3, 'Harbour Depot', 'North');
INSERT INTO sites VALUES (12, 'Riverside Plant', 'South');
INSERT INTO sites VALUES (47, 'Airport Annex', 'East');

CREATE TABLE customers (id LONG, siteID LONG, Name TEXT(50), city TEXT(30));
INSERT INTO customers VALUES (501, 3, 'Kestrel Shipping', 'Portsmouth');
INSERT INTO customers VALUES (502, 12, 'Millbrook Water', 'Reading');

CREATE TABLE users (userID LONG, userName TEXT(20), fullName TEXT(50), active YESNO);
INSERT INTO users VALUES (1, 'admin', 'System Administrator', -1);
INSERT INTO users VALUES (2, 'jdoe', 'Jane Doe', -1);
INSERT INTO users VALUES (3, 'oconnor', 'Liam O''Connor', 0);

-- Renamed to "areas" in the new release.
CREATE TABLE zones (zoneID LONG, zoneName TEXT(30));
INSERT INTO zones VALUES (1, 'Ground floor');
INSERT INTO zones VALUES (2, 'Plant room');

-- Dropped in the new release.
CREATE TABLE legacylog (entry LONG, message TEXT(80));
INSERT INTO legacylog VALUES (1, 'imported from release 2.0');
