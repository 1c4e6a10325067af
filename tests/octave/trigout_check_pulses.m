function trigout_check_pulses(how)
  % After `how` returned, the log must hold every write of trigout_pending_pulses.
  w = trigout_log(getenv('SIMPORT_LOG'));
  assert(isequal(w(:, 2:3), [888 1; 888 0; 889 2; 889 0]), '%s: %s', how, mat2str(w(:, 2:3)));
  assert(w(4, 1) - w(3, 1) >= 99.5e6, '%s: reset came early', how);
  delete(getenv('SIMPORT_LOG'));
end
