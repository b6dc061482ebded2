-- Main database of a release 2.0 installation: three sites, the customers
-- (one row per customer and site), the communication channels of the sites
-- with their connection data and dial-in prompts, and the operators.
CREATE TABLE sites (id LONG, siteName TEXT(50), city TEXT(50), active YESNO);
INSERT INTO sites VALUES (4, 'Harbour North', 'Rotterdam', -1);
INSERT INTO sites VALUES (7, 'Gatehouse West', 'Rotterdam', -1);
INSERT INTO sites VALUES (12, 'Depot East', 'Utrecht', 0);

-- Customer 3 has two rows for site 7; customer 5 belongs to a closed site.
-- Sites 4 and 12 have no customer.
CREATE TABLE customers (id LONG, siteID LONG, name TEXT(50), address TEXT(80),
                        city TEXT(50), region TEXT(50), zipCode TEXT(10), country TEXT(50));
INSERT INTO customers VALUES (3, 7, 'Veldkamp Logistics', 'Kade 14', 'Rotterdam',
                              'Zuid-Holland', '3011 AB', 'Netherlands');
INSERT INTO customers VALUES (3, 7, 'Veldkamp Logistics (billing)', 'Postbus 220', 'Rotterdam',
                              'Zuid-Holland', '3000 AE', 'Netherlands');
INSERT INTO customers VALUES (5, 30, 'Orban Freight', 'Ringweg 2', 'Gouda', NULL, '2800 AA',
                              'Netherlands');

-- One row per site location; slot1..slot5 (positions 7 to 11) hold the kind
-- of channel in each slot: 0 none, 1 serial, 2 modem, 3 IP.
CREATE TABLE channel (id LONG, siteID LONG, location TEXT(50), installed DATETIME,
                      technician TEXT(50), remarks TEXT(100), active YESNO,
                      slot1 SHORT, slot2 SHORT, slot3 SHORT, slot4 SHORT, slot5 SHORT);
INSERT INTO channel VALUES (1, 4, 'Control room', '1998-03-02', 'P. Smit', NULL, -1, 2, 0, 0, 0, 0);
INSERT INTO channel VALUES (2, 7, 'Gatehouse', '1998-05-11', 'J. de Wit', 'Spare slot 3', -1,
                            2, 3, 0, 1, 0);
INSERT INTO channel VALUES (3, 12, 'Yard office', '1999-01-20', 'P. Smit', 'No lines yet', 0,
                            0, 0, 0, 0, 0);
INSERT INTO channel VALUES (4, 12, 'Main hall', '1999-01-20', 'A. Bakker', NULL, -1,
                            3, 1, 0, 0, 0);

-- Connection data, in the order of the channels of each kind.
CREATE TABLE modemconnection (id LONG, siteID LONG, phoneNumber TEXT(30), initString TEXT(50),
                              baudRate LONG);
INSERT INTO modemconnection VALUES (1, 4, '+31 10 555 0101', 'ATZ', 9600);
INSERT INTO modemconnection VALUES (2, 7, '+31 10 555 0147', 'AT&F', 19200);

-- Site 12 has two rows: the later one is the address in use.
CREATE TABLE ipconnection (id LONG, siteID LONG, ipAddress TEXT(15), port LONG);
INSERT INTO ipconnection VALUES (1, 7, '10.0.7.20', 5000);
INSERT INTO ipconnection VALUES (2, 12, '10.0.12.9', 5000);
INSERT INTO ipconnection VALUES (3, 12, '10.0.12.10', 5001);

CREATE TABLE serialconnection (id LONG, siteID LONG, comPort TEXT(10), baudRate LONG);
INSERT INTO serialconnection VALUES (1, 7, 'COM1', 9600);
INSERT INTO serialconnection VALUES (2, 12, 'COM2', 4800);

-- Dial-in prompts of the modem connections: up to five pairs of expected and
-- sent text (positions 4 to 13); reading stops at the first empty pair.
CREATE TABLE prompt (id LONG, siteID LONG, name TEXT(50), timeout LONG,
                     expect1 TEXT(50), send1 TEXT(50), expect2 TEXT(50), send2 TEXT(50),
                     expect3 TEXT(50), send3 TEXT(50), expect4 TEXT(50), send4 TEXT(50),
                     expect5 TEXT(50), send5 TEXT(50));
INSERT INTO prompt VALUES (1, 4, 'Dial-in Harbour North', 30, 'login:', 'tervanis',
                           'password:', 'harbour4', 'ready>', NULL, NULL, NULL, NULL, NULL);
INSERT INTO prompt VALUES (2, 7, 'Dial-in Gatehouse', 45, 'login:', 'tervanis',
                           'password:', 'gate7', '', '', 'unused>', 'never read', NULL, NULL);

CREATE TABLE operators (id LONG, name TEXT(50), shift TEXT(10));
INSERT INTO operators VALUES (1, 'M. Jansen', 'day');
INSERT INTO operators VALUES (2, 'R. Visser', 'night');
