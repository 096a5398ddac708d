-- Demo calibration database: logistic growth of crop biomass at three sites.
--
-- Make it with:   sqlite3 demo.sqlite < demo.sql
--
-- The model (demo_model) computes for every row of the result table
--     B(t) = K_CAP / (1 + (K_CAP / B0 - 1) * exp(-R_MAX * t)),   t = DAY,
-- with the parameters of the row's site in growth_par.
--
-- The observations were made from these TRUE values, with Gaussian noise of
-- standard deviation 0.05 * B + 5 g/m2 (OBS_VAR holds its square):
--     R_MAX = 0.11 per day   (all sites)
--     K_CAP = 900 g/m2       (all sites)
--     B0    = 12 g/m2        (site 2; sites 1 and 3 are fixed at 8 and 5)
-- A calibration should come back close to them; the start values (IVAL in
-- PARM_INT, also the values in growth_par) are deliberately off.

-- The model's own parameter table: one row per site.
CREATE TABLE growth_par (
  SITE_ID   INTEGER PRIMARY KEY,
  SITE_NAME TEXT,
  R_MAX     DOUBLE,   -- relative growth rate, 1/day
  K_CAP     DOUBLE,   -- carrying capacity, g/m2
  B0        DOUBLE    -- biomass at day 0, g/m2
);
INSERT INTO growth_par VALUES
  (1, 'North field',  0.07, 600,  8),
  (2, 'River plot',   0.07, 600, 25),
  (3, 'Hill terrace', 0.07, 600,  5);

-- The result table: observed biomass beside the model's value (SIM).
CREATE TABLE biomass (
  ID      INTEGER PRIMARY KEY AUTOINCREMENT,
  SITE_ID INTEGER,  -- grouping (index) column
  DAY     INTEGER,  -- days after sowing
  OBS     DOUBLE,   -- observed biomass, g/m2
  SIM     DOUBLE,   -- simulated biomass, written by the model
  OBS_VAR DOUBLE    -- variance of the observation, (g/m2)^2
);
INSERT INTO biomass (SITE_ID, DAY, OBS, SIM, OBS_VAR) VALUES
  (1, 10,  15.3, 0,   38.20),
  (1, 20,  58.4, 0,   70.05),
  (1, 30, 175.6, 0,  190.50),
  (1, 40, 393.6, 0,  575.81),
  (1, 50, 604.0, 0, 1289.78),
  (1, 60, 695.0, 0, 1942.46),
  (1, 70, 839.1, 0, 2288.39),
  (1, 80, 915.9, 0, 2426.17),
  (1, 90, 848.2, 0, 2475.03),
  (1, 100, 801.7, 0, 2491.64),
  (2, 10,  36.6, 0,   45.64),
  (2, 20, 100.1, 0,   97.84),
  (2, 30, 232.3, 0,  291.26),
  (2, 40, 490.3, 0,  816.73),
  (2, 50, 670.9, 0, 1564.28),
  (2, 60, 800.4, 0, 2105.37),
  (2, 70, 913.2, 0, 2356.23),
  (2, 80, 898.6, 0, 2450.61),
  (2, 90, 900.7, 0, 2483.38),
  (2, 100, 941.0, 0, 2494.45),
  (3, 10,  11.5, 0,   32.98),
  (3, 20,  45.7, 0,   51.26),
  (3, 30, 133.4, 0,  119.23),
  (3, 40, 277.1, 0,  363.77),
  (3, 50, 516.0, 0,  960.29),
  (3, 60, 684.2, 0, 1696.45),
  (3, 70, 914.5, 0, 2173.98),
  (3, 80, 839.5, 0, 2383.17),
  (3, 90, 893.7, 0, 2460.10),
  (3, 100, 975.9, 0, 2486.60);

-- The calibrated parameters: which field of which model table, in which rows.
create table PARM_INT ( ITEM_IX INTEGER PRIMARY KEY AUTOINCREMENT, FNAME CHAR(16), PNAME CHAR(10), MINIMUM DOUBLE, MAXIMUM DOUBLE, IVAL DOUBLE, STEP DOUBLE, AVAL DOUBLE, SELECTION CHAR(50), ALIAS char(15), ERROR Double);
INSERT INTO PARM_INT (FNAME, PNAME, MINIMUM, MAXIMUM, IVAL, STEP, AVAL, SELECTION, ALIAS) VALUES
  ('growth_par', 'R_MAX', 0.01,  0.5, 0.07,  0.02, 0.07, '',          'r_max'),
  ('growth_par', 'K_CAP',  100, 3000,  600,   100,  600, '',          'k_cap'),
  ('growth_par', 'B0',       1,  100,   25,     5,   25, 'SITE_ID=2', 'b0_site2');

-- The values the observations were made from, to compare a calibration with:
--   SELECT p.ALIAS, p.AVAL, t.VALUE FROM PARM_INT p JOIN true_values t ON t.ALIAS = p.ALIAS;
CREATE TABLE true_values (ALIAS TEXT PRIMARY KEY, VALUE DOUBLE);
INSERT INTO true_values VALUES ('r_max', 0.11), ('k_cap', 900), ('b0_site2', 12);
