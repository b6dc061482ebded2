-- Site database of site 31 (release 3.0).
CREATE TABLE EXCCS (CAT TEXT(10), threshold LONG, enabled YESNO);
INSERT INTO EXCCS VALUES ('AC', 25, -1);
INSERT INTO EXCCS VALUES ('HVAC', 7, -1);
CREATE TABLE alarms (id LONG, raised DATETIME, text TEXT(100));
INSERT INTO alarms VALUES (5, '2004-03-12 23:05:00', 'Cooling unit 2 failed');
