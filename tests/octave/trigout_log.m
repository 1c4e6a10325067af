function w = trigout_log(file)
  % Writes logged by the simulated port library: one row [ns port value] per write, in order.
  w = zeros(0, 3);
  fid = fopen(file, 'r');
  if fid < 0
    return;
  end
  c = textscan(fid, '%f %f %f %s');
  fclose(fid);
  w = [c{1} c{2} c{3}];
end
