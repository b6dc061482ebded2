-- Statistics database of the new release: the name of every board type.
CREATE TABLE boards ("index" LONG, name TEXT(50));
INSERT INTO boards VALUES (5, 'Analog input 8');
INSERT INTO boards VALUES (18, 'Digital I/O 16');
INSERT INTO boards VALUES (23, 'Modem line');
INSERT INTO boards VALUES (24, 'Operator''s console');
